// The verified launch of the installed application (the stand-in, which the
// small release carries as "Pelorin.exe") and the one way processes start.
#include "engine/launch.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "engine/install.h"
#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/override_call.h"
#include "tests/support/product_state.h"
#include "tests/support/release_server.h"
#include "tests/support/standin_process.h"
#include "tests/support/system_call_fakes.h"

namespace pelorin::setup {
namespace {

std::string Utf8(const std::wstring& text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n) - 1);
    return out;
}

// The path in double quotes, as the command line starts.
std::string Quoted(const std::wstring& path) {
    std::string quoted(1, '"');
    quoted.append(Utf8(path)).push_back('"');
    return quoted;
}

using CreateProcessSignature = BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                    LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);

class Launch : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
        std::atomic<bool> cancel{false};
        ASSERT_EQ(Install(Options{}, cancel, {}).code, FailureCode::None);
    }
    void TearDown() override { testing::ResetProductState(); }

    static std::wstring Installed(const char* name) { return JoinPath(InstallDirectory(), Utf8ToWide(name)); }
};

TEST_F(Launch, StartsTheVerifiedApplicationInItsFolder) {
    testing::StandInSteering application;
    const OperationResult result = LaunchApplication();
    ASSERT_EQ(result.code, FailureCode::None);
    EXPECT_EQ(result.installPath, InstallDirectory());
    const std::vector<std::string> record = application.WaitForRecord();
    ASSERT_GE(record.size(), 2u);
    EXPECT_EQ(record[0], Quoted(JoinPath(InstallDirectory(), L"Pelorin.exe")));
    EXPECT_EQ(record[1], Utf8(InstallDirectory()));
}

TEST_F(Launch, NothingStartsFromAnAlteredOrMissingInstallation) {
    const struct {
        const char* what;
        std::function<void()> change;
        FailureCode expected;
    } cases[] = {
        {"one changed byte",
         [] {
             const std::wstring file = Installed(PayloadManifest[PayloadEntryCount / 2].name);
             std::string bytes = testing::ReadFileBytes(file);
             bytes[bytes.size() / 2] ^= 0x01;
             testing::WriteFileBytes(file, bytes);
         },
         FailureCode::VerificationFailed},
        {"an extra file", [] { testing::WriteFileBytes(JoinPath(InstallDirectory(), L"extra.txt"), ""); },
         FailureCode::VerificationFailed},
        {"no installation", [] { testing::RemoveTree(InstallDirectory()); }, FailureCode::InstallationNotFound},
    };
    for (const auto& c : cases) {
        testing::ResetProductState();
        std::atomic<bool> cancel{false};
        ASSERT_EQ(Install(Options{}, cancel, {}).code, FailureCode::None);
        c.change();
        testing::StandInSteering application;
        const OperationResult result = LaunchApplication();
        EXPECT_EQ(result.code, c.expected) << c.what;
        EXPECT_FALSE(result.canRetry) << c.what;
        EXPECT_TRUE(result.installPath.empty());
        EXPECT_TRUE(application.WaitForRecord(1500).empty()) << c.what << ": no process";
    }
}

// From the hash of "Pelorin.exe" until CreateProcessW has returned, neither
// the executable nor the installation folder can be changed: an attempt at
// every file open in between and at the start itself is refused, and the
// program started is the one that was verified.
TEST_F(Launch, NothingCanBeSwappedBetweenTheCheckAndTheStart) {
    const std::wstring install = InstallDirectory();
    const std::wstring exe = JoinPath(install, L"Pelorin.exe");
    const std::wstring aside = install + L"-aside";
    const std::string verified = testing::ReadFileBytes(exe);
    bool checked = false;  // the verification has opened the executable
    int attempts = 0;
    std::vector<std::string> changes;
    const auto tryToSwap = [&](const char* when) {
        if (!checked) return;
        ++attempts;
        HANDLE writer = ::CreateFileW(testing::LongForm(exe).c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      0, nullptr);
        if (writer != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (::WriteFile(writer, "!", 1, &written, nullptr) && written == 1) {
                changes.push_back(std::string("the executable was written ") + when);
            }
            ::CloseHandle(writer);
        }
        if (::MoveFileExW(testing::LongForm(install).c_str(), testing::LongForm(aside).c_str(), 0)) {
            changes.push_back(std::string("the folder was moved ") + when);
            ::MoveFileExW(testing::LongForm(aside).c_str(), testing::LongForm(install).c_str(), 0);
        }
    };
    testing::OverrideCall<testing::CreateFileSignature> opens(
        SystemCalls().CreateFileW,
        [&, wanted = testing::LongForm(exe)](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                             DWORD disposition, DWORD flags, HANDLE templateFile) -> HANDLE {
            tryToSwap("at an open");
            const HANDLE handle = ::CreateFileW(name, access, share, security, disposition, flags, templateFile);
            const DWORD error = ::GetLastError();
            if (wanted == name) checked = true;
            ::SetLastError(error);
            return handle;
        });
    testing::OverrideCall<CreateProcessSignature> start(
        SystemCalls().CreateProcessW,
        [&](LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
            LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR folder,
            LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) -> BOOL {
            tryToSwap("at the start");
            return ::CreateProcessW(application, commandLine, processAttributes, threadAttributes, inherit, flags,
                                    environment, folder, startup, process);
        });
    testing::StandInSteering application;
    EXPECT_EQ(LaunchApplication().code, FailureCode::None);
    EXPECT_GT(attempts, 0);
    EXPECT_EQ(changes, std::vector<std::string>{});
    EXPECT_TRUE(testing::ReadFileBytes(exe) == verified) << "the executable was changed";
    EXPECT_FALSE(application.WaitForRecord().empty()) << "the verified program was started";
}

TEST_F(Launch, ARefusedStartIsAFailedWrite) {
    testing::OverrideCall<CreateProcessSignature> refused(SystemCalls().CreateProcessW, [](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                                 DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) -> BOOL {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        });
    const OperationResult result = LaunchApplication();
    EXPECT_EQ(result.code, FailureCode::WriteFailed);
    EXPECT_TRUE(result.canRetry);
}

TEST_F(Launch, TheStartedProcessInheritsNoHandle) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE handle = ::CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    ASSERT_NE(handle, nullptr);
    {
        testing::StandInSteering application;
        application.ProbeHandle(handle);
        ASSERT_EQ(LaunchApplication().code, FailureCode::None);
        const std::vector<std::string> record = application.WaitForRecord();
        ASSERT_EQ(record.size(), 3u);
        EXPECT_EQ(record[2], "closed");
    }
    {
        // The probe can tell: a process started with inheritance sees it.
        testing::StandInSteering application;
        application.ProbeHandle(handle);
        const std::wstring exe = JoinPath(InstallDirectory(), L"Pelorin.exe");
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                     &startup, &process));
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        const std::vector<std::string> record = application.WaitForRecord();
        ASSERT_EQ(record.size(), 3u);
        EXPECT_EQ(record[2], "open");
    }
    ::CloseHandle(handle);
}

TEST(StartProcess, QuotesThePathAndAppendsTheArguments) {
    const std::wstring folder = JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Temp\\with space");
    testing::CreateFolders(folder);
    const std::wstring exe = JoinPath(folder, L"Pelorin.exe");
    testing::WriteFileBytes(exe, testing::ReadFileBytes(testing::StandInPath()));
    {
        const ScopedHandle verified = OpenFileChecked(exe, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        testing::StandInSteering application;
        StartProcess(exe, L"--uninstall-relocated", verified.Get());
        const std::vector<std::string> record = application.WaitForRecord();
        ASSERT_GE(record.size(), 2u);
        EXPECT_EQ(record[0], Quoted(exe) + " --uninstall-relocated");
        EXPECT_EQ(record[1], Utf8(folder));
        int count = 0;
        const std::wstring line = Utf8ToWide(record[0]);
        LPWSTR* arguments = ::CommandLineToArgvW(line.c_str(), &count);
        ASSERT_NE(arguments, nullptr);
        EXPECT_EQ(count, 2) << "a path with spaces is one argument";
        EXPECT_EQ(std::wstring(arguments[0]), exe);
        ::LocalFree(arguments);
    }
    {
        // Another file than the one the caller checked is refused before any
        // start, even with the same content.
        const std::wstring other = JoinPath(folder, L"other.exe");
        testing::WriteFileBytes(other, testing::ReadFileBytes(exe));
        const ScopedHandle checked = OpenFileChecked(other, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        testing::StandInSteering application;
        EXPECT_EQ(testing::FailureOf([&] { StartProcess(exe, L"", checked.Get()); }), FailureCode::VerificationFailed);
        EXPECT_TRUE(application.WaitForRecord(1500).empty()) << "no process";
    }
    testing::RemoveTree(folder);
    EXPECT_EQ(testing::FailureOf([&] { StartProcess(exe, L"", INVALID_HANDLE_VALUE); }),
              FailureCode::InstallationNotFound)
        << "a missing program is refused before any start";
}

}  // namespace
}  // namespace pelorin::setup
