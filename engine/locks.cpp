#include "engine/locks.h"

#include <memory>

#include "engine/contract.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

// Opens a lock file without sharing, creating it when missing.
ScopedHandle OpenLockFile(const std::wstring& folder, const wchar_t* name) {
    const std::wstring path = ToLongPath(JoinPath(folder, name));
    ScopedHandle lock(SystemCalls().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!lock.IsValid()) {
        ThrowFailure(FailureCode::AppRunning);
    }
    CheckHandleKind(lock.Get(), false);
    return lock;
}

}  // namespace

EngineLocks::~EngineLocks() {
    engineMutex.Close();
    sessionLock.Close();
    installerLock.Close();
    pins.Clear();
}

std::unique_ptr<EngineLocks> AcquireEngineLocks(bool createFolders) {
    SystemCallTable& calls = SystemCalls();
    SYSTEM_INFO system{};
    calls.GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_AMD64) {
        ThrowFailure(FailureCode::UnsupportedSystem);
    }

    auto locks = std::make_unique<EngineLocks>();
    const std::wstring productRoot = ProductRootDirectory();
    PinDirectoryChain(locks->pins, productRoot, createFolders);
    locks->installerLock = OpenLockFile(productRoot, InstallerLockName);

    const std::wstring dataFolder = JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Pelorin\\Windows");
    PinDirectoryChain(locks->pins, dataFolder, true);
    locks->sessionLock = OpenLockFile(dataFolder, SessionLockName);

    ::SetLastError(0);
    locks->engineMutex = ScopedHandle(calls.CreateMutexW(nullptr, FALSE, EngineMutexName));
    const DWORD error = ::GetLastError();
    if (!locks->engineMutex.IsValid() || error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        ThrowFailure(FailureCode::AppRunning);
    }
    return locks;
}

}  // namespace pelorin::setup
