#include "engine/locks.h"

#include <memory>

#include "engine/contract.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

// True when what stands at `longPath` is known to be a folder or a link
// (a directory junction or link cannot be opened as a file, so it is looked
// at as itself, for its attributes only). Unknown is false.
bool IsFolderOrLink(const std::wstring& longPath) {
    SystemCallTable& calls = SystemCalls();
    const ScopedHandle item(calls.CreateFileW(longPath.c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                              nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return item.IsValid() && calls.GetFileInformationByHandleEx(item.Get(), FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0;
}

// Opens a lock file without sharing, creating it when missing. A refused
// open means another holder, unless a folder or a link stands there.
ScopedHandle OpenLockFile(const std::wstring& folder, const wchar_t* name) {
    const std::wstring path = ToLongPath(JoinPath(folder, name));
    ScopedHandle lock(SystemCalls().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!lock.IsValid()) {
        ThrowFailure(IsFolderOrLink(path) ? FailureCode::InstallFolderRejected : FailureCode::AppRunning);
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
