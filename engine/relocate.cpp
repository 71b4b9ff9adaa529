#include "engine/relocate.h"

#include <string>

#include "engine/launch.h"
#include "engine/product.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

// True when `installed` is the running program itself, reached by another
// spelling of its path (a short name, another drive mapping): the same volume
// and file id. Whatever keeps this from being shown (no installation, a
// refused open or query) answers false; the uninstall itself refuses to run
// as the installed uninstaller in any case.
bool IsRunningUninstaller(const std::wstring& installed) {
    try {
        const ScopedHandle file =
            OpenFileChecked(installed, 0, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        return IsOwnExecutable(file.Get());
    } catch (const Failure&) {
        return false;
    }
}

}  // namespace

OperationResult RelocateUninstaller(bool& relocated) {
    relocated = false;
    return RunOperation([&]() -> OperationResult {
        const std::wstring self = OwnExecutablePath();
        const std::wstring installDirectory = InstallDirectory();
        const std::wstring installed = JoinPath(installDirectory, UninstallerName);
        if (!SamePath(self, installed) && !IsRunningUninstaller(installed)) {
            return OperationResult{};
        }
        DirectoryPins pins;
        PinDirectoryChain(pins, installDirectory, false);
        const ScopedHandle running = OpenFileChecked(self, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        if (HashFile(running.Get(), 0) != ReadInstallMarker(installDirectory)) {
            ThrowFailure(FailureCode::VerificationFailed);
        }

        const std::wstring temporary = JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Temp");
        PinDirectoryChain(pins, temporary, true);
        const std::wstring folder = JoinPath(temporary, RelocationFolderPrefix + RandomHexName());
        if (!SystemCalls().CreateDirectoryW(ToLongPath(folder).c_str(), nullptr)) {
            ThrowFailure(FailureCode::WriteFailed);
        }
        PinDirectoryChain(pins, folder, false);

        const std::wstring copy = JoinPath(folder, RelocatedUninstallerName);
        std::string digest;
        CopyFileVerified(self, copy, digest, {});
        // The copy that is started is the copy verified here: held from this
        // hash until its process exists, shared for reading only, so nobody
        // can write, move or delete it in between.
        const ScopedHandle verifiedCopy = OpenFileChecked(copy, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        if (HashFile(verifiedCopy.Get(), 0) != digest || digest != ReadInstallMarker(installDirectory)) {
            ThrowFailure(FailureCode::VerificationFailed);
        }
        StartProcess(copy, RelocatedUninstallArgument, verifiedCopy.Get());
        relocated = true;
        return OperationResult{};
    });
}

}  // namespace pelorin::setup
