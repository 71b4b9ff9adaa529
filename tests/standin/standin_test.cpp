// The stand-in application holds the locks the installer shares with the
// real application, and lets go of them when it exits.
#include <windows.h>
#include <shlobj.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

constexpr DWORD ExitSessionLockHeld = 3;
constexpr DWORD ExitEngineMutexHeld = 4;
constexpr wchar_t MutexName[] = L"Global\\Pelorin.Engine.v1";

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 4096);
    return n > 0 && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring LocalAppData() {
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path))) result = path;
    ::CoTaskMemFree(path);
    return result;
}

struct Process {
    PROCESS_INFORMATION info{};
    ~Process() {
        if (info.hProcess != nullptr) {
            if (::WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(info.hProcess, 99);
            ::CloseHandle(info.hProcess);
            ::CloseHandle(info.hThread);
        }
    }
    DWORD WaitExit(DWORD milliseconds = 20000) {
        if (::WaitForSingleObject(info.hProcess, milliseconds) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD code = 0;
        ::GetExitCodeProcess(info.hProcess, &code);
        return code;
    }
};

class StandIn : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = Env(L"PELORIN_TEST_STANDIN");
        ASSERT_FALSE(exe_.empty()) << "PELORIN_TEST_STANDIN is not set";
        sessionLock_ = LocalAppData() + L"\\Pelorin\\Windows\\session.lock";
        record_ = LocalAppData() + L"\\standin-record.txt";
        ::DeleteFileW(record_.c_str());
        event_.reset(::CreateEventW(nullptr, TRUE, FALSE, L"PelorinStandinTestExit"));
        ::SetEnvironmentVariableW(L"PELORIN_STANDIN_QUIET", L"1");
        ::SetEnvironmentVariableW(L"PELORIN_STANDIN_EXIT_EVENT", L"PelorinStandinTestExit");
        ::SetEnvironmentVariableW(L"PELORIN_STANDIN_RECORD", record_.c_str());
    }
    void TearDown() override {
        for (const wchar_t* name : {L"PELORIN_STANDIN_QUIET", L"PELORIN_STANDIN_EXIT_EVENT", L"PELORIN_STANDIN_RECORD"}) {
            ::SetEnvironmentVariableW(name, nullptr);
        }
    }

    void Start(Process& process) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        std::wstring commandLine = L"\"" + exe_ + L"\"";
        ASSERT_TRUE(::CreateProcessW(exe_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &startup, &process.info))
            << ::GetLastError();
    }

    bool WaitForRecord() {
        for (int i = 0; i < 400; ++i) {
            if (::GetFileAttributesW(record_.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Opens session.lock the way the installer does; returns the error, 0 on success.
    DWORD TrySessionLock() {
        HANDLE h = ::CreateFileW(sessionLock_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
        ::CloseHandle(h);
        return 0;
    }

    // Creates the engine mutex; returns true when it existed already.
    static bool MutexExists() {
        ::SetLastError(0);
        HANDLE h = ::CreateMutexW(nullptr, FALSE, MutexName);
        const DWORD error = ::GetLastError();
        if (h != nullptr) ::CloseHandle(h);
        return h == nullptr || error == ERROR_ALREADY_EXISTS;
    }

    struct EventCloser {
        void operator()(HANDLE h) const { ::CloseHandle(h); }
    };
    std::unique_ptr<void, EventCloser> event_;
    std::wstring exe_, sessionLock_, record_;
};

TEST_F(StandIn, HoldsBothLocksWhileRunningAndReleasesThem) {
    Process first;
    Start(first);
    ASSERT_TRUE(WaitForRecord()) << "the stand-in did not start";
    EXPECT_EQ(TrySessionLock(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(MutexExists());

    // A second copy finds the session lock taken and says so by its exit code.
    ::SetEnvironmentVariableW(L"PELORIN_STANDIN_RECORD", nullptr);
    Process second;
    Start(second);
    EXPECT_EQ(second.WaitExit(), ExitSessionLockHeld);

    ::SetEvent(event_.get());
    EXPECT_EQ(first.WaitExit(), 0u);
    EXPECT_EQ(TrySessionLock(), 0u);
    EXPECT_FALSE(MutexExists());
}

TEST_F(StandIn, RefusesToRunWhileTheEngineMutexExists) {
    HANDLE held = ::CreateMutexW(nullptr, FALSE, MutexName);
    ASSERT_NE(held, nullptr);
    Process process;
    Start(process);
    EXPECT_EQ(process.WaitExit(), ExitEngineMutexHeld);
    ::CloseHandle(held);
    EXPECT_EQ(TrySessionLock(), 0u) << "the session lock must be released on the way out";
}

TEST_F(StandIn, RecordsItsCommandLineAndFolder) {
    Process process;
    Start(process);
    ASSERT_TRUE(WaitForRecord());
    ::SetEvent(event_.get());
    EXPECT_EQ(process.WaitExit(), 0u);
    HANDLE h = ::CreateFileW(record_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[8192];
    DWORD got = 0;
    ::ReadFile(h, buffer, sizeof(buffer), &got, nullptr);
    ::CloseHandle(h);
    const std::string text(buffer, got);
    const std::size_t newline = text.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_TRUE(text.substr(0, newline).ends_with("Pelorin.exe\"")) << text;
    EXPECT_EQ(text.back(), '\n');
}

}  // namespace
