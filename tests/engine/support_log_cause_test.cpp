// What the support log says about a failed operation run by the window's
// worker: the first failed system call with its error and subject, and the
// same result with or without a log.
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/install.h"
#include "platform/paths.h"
#include "platform/support_log.h"
#include "platform/system_calls.h"
#include "tests/support/product_state.h"
#include "tests/support/release_server.h"
#include "tests/support/system_call_fakes.h"
#include "tests/support/temp_folder.h"
#include "ui/runner.h"

namespace pelorin::setup {
namespace {

using CreateFileSignature = HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
using SetValueSignature = LSTATUS(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
using ReceiveSignature = BOOL(HINTERNET, LPVOID);

// Runs one operation as the window's worker does and returns its result.
OperationResult RunAsWorker(bool uninstall) {
    OperationResult result;
    result.code = static_cast<FailureCode>(-1);
    OperationWorkerStart start;
    start.post = [&result](std::uint32_t message, void* record) {
        if (message == WM_SETUP_RESULT) {
            std::unique_ptr<OperationResult> owned(static_cast<OperationResult*>(record));
            result = *owned;
        } else {
            delete static_cast<Progress*>(record);
        }
        return true;
    };
    start.uninstallMode = uninstall;
    start.services = EngineServices();
    std::atomic<bool> cancel{false};
    RunOperationWorker(start, cancel);
    return result;
}

void InstallQuietly() {
    std::atomic<bool> cancel{false};
    ASSERT_EQ(Install(Options{}, cancel, {}).code, FailureCode::None);
}

struct Case {
    const char* name;
    bool uninstall;
    std::function<void()> before;                           // outside the injection
    std::function<std::shared_ptr<void>()> inject;          // the failure, for the run's length
    std::vector<std::string> expected;                      // parts of the cause line
};

class SupportLogCause : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
    }
    void TearDown() override {
        ProcessLog().Close();
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
    }
};

TEST_F(SupportLogCause, TheFirstFailedCallIsLoggedAndTheResultDoesNotDependOnTheLog) {
    const std::wstring readOnlyFile = JoinPath(InstallDirectory(), L"Pelorin.exe");
    const std::vector<Case> cases = {
        {"a staged file that cannot be created", false, {},
         [] {
             auto spy = std::make_shared<testing::CallSpy<CreateFileSignature>>(SystemCalls().CreateFileW);
             spy->FailWhen([](LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
                 return std::wstring_view(path).find(L".stage-") != std::wstring_view::npos &&
                        disposition == CREATE_NEW;
             }, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
             return std::shared_ptr<void>(spy);
         },
         {"CreateFileW failed, Win32 error 5, on \"", ".stage-"}},
        {"a download that times out", false, {},
         [] {
             auto spy = std::make_shared<testing::CallSpy<ReceiveSignature>>(SystemCalls().WinHttpReceiveResponse);
             spy->FailFrom(1, FALSE, ERROR_WINHTTP_TIMEOUT);
             return std::shared_ptr<void>(spy);
         },
         {"WinHttpReceiveResponse failed, Win32 error 12002"}},
        {"a refused registry write", false, {},
         [] {
             auto spy = std::make_shared<testing::CallSpy<SetValueSignature>>(SystemCalls().RegSetValueExW);
             spy->FailCall(1, ERROR_ACCESS_DENIED);
             return std::shared_ptr<void>(spy);
         },
         {"RegSetValueExW failed, LSTATUS 5, on \"DisplayName\""}},
        {"a read-only file during uninstall", true,
         [&] {
             InstallQuietly();
             testing::SetReadOnly(readOnlyFile, true);
         },
         {}, {"code 5 after "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<OperationResult> results;
        std::string log;
        // Without a log, with a log, with a log that could not be created.
        for (int way = 0; way < 3; ++way) {
            testing::ResetProductState();
            if (c.before) c.before();
            testing::TempFolder folder;
            if (way == 1) {
                ASSERT_TRUE(ProcessLog().Open(folder.Root()));
            } else if (way == 2) {
                ASSERT_FALSE(ProcessLog().Open(folder.Path(L"missing")));
            }
            const std::wstring path = ProcessLog().Path();
            {
                const std::shared_ptr<void> injected = c.inject ? c.inject() : nullptr;
                results.push_back(RunAsWorker(c.uninstall));
            }
            ProcessLog().Close();
            if (way == 1) log = testing::ReadTestFile(path);
            if (c.uninstall) testing::SetReadOnly(readOnlyFile, false);
        }
        ASSERT_NE(results[0].code, FailureCode::None);
        for (const OperationResult& result : results) {
            EXPECT_EQ(result.code, results[0].code);
            EXPECT_EQ(result.canRetry, results[0].canRetry);
            EXPECT_EQ(result.installPath, results[0].installPath);
        }
        const std::size_t at = log.find("first cause: ");
        ASSERT_NE(at, std::string::npos) << log;
        const std::string line = log.substr(at, log.find("\r\n", at) - at);
        EXPECT_NE(line.find("code " + std::to_string(static_cast<int>(results[0].code))), std::string::npos) << line;
        for (const std::string& part : c.expected) {
            EXPECT_NE(line.find(part), std::string::npos) << line;
        }
        EXPECT_NE(log.find(std::string("operation started: ") + (c.uninstall ? "uninstall" : "install")),
                  std::string::npos) << log;
        EXPECT_NE(log.find("operation ended: "), std::string::npos) << log;
    }
}

TEST_F(SupportLogCause, ASuccessfulInstallAndUninstallLogStagesButNoCause) {
    testing::TempFolder folder;
    ASSERT_TRUE(ProcessLog().Open(folder.Root()));
    const std::wstring path = ProcessLog().Path();
    ASSERT_EQ(RunAsWorker(false).code, FailureCode::None);
    ASSERT_EQ(RunAsWorker(true).code, FailureCode::None);
    ProcessLog().Close();
    const std::string log = testing::ReadTestFile(path);
    for (const char* part : {"operation started: install", "stage Downloading ", "stage Installing ",
                             "stage Finalizing 0/0, not cancellable", "operation ended: install, code 0",
                             "operation started: uninstall", "stage Removing ", "operation ended: uninstall, code 0"}) {
        EXPECT_NE(log.find(part), std::string::npos) << part << "\n" << log;
    }
    EXPECT_EQ(log.find("first cause"), std::string::npos) << log;
    std::printf("log of a full install and uninstall: %zu bytes\n", log.size());
}

}  // namespace
}  // namespace pelorin::setup
