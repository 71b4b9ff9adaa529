#include "engine/launch.h"

#include "engine/product.h"
#include "payload/verify.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {

void StartProcess(const std::wstring& exePath, const std::wstring& arguments, HANDLE verified) {
    const ScopedHandle executable = OpenFileChecked(exePath, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    if (!SameFile(executable.Get(), verified)) {
        ThrowFailure(FailureCode::VerificationFailed);  // not the file that was checked
    }
    std::wstring commandLine;
    commandLine.append(L"\"").append(exePath).append(L"\"");
    if (!arguments.empty()) {
        commandLine.append(L" ").append(arguments);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    const std::wstring folder = ParentPath(exePath);
    PROCESS_INFORMATION process{};
    if (!SystemCalls().CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      folder.c_str(), &startup, &process)) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    ScopedHandle thread(process.hThread);
    ScopedHandle processHandle(process.hProcess);
    thread.Close();
    processHandle.Close();
}

OperationResult LaunchApplication() {
    return RunOperation([]() -> OperationResult {
        const std::wstring installDirectory = InstallDirectory();
        // Holds the installation's folders and the executable as they were
        // verified until the process has been created.
        VerifiedInstallation verified;
        VerifyInstalledTree(installDirectory, nullptr, {}, verified);
        StartProcess(JoinPath(installDirectory, AppExecutableName), std::wstring(), verified.application.Get());
        OperationResult result;
        result.installPath = installDirectory;
        return result;
    });
}

}  // namespace pelorin::setup
