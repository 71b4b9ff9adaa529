#include "tests/support/standin_process.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace pelorin::setup::testing {
namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 4096);
    return n > 0 && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace

std::wstring StandInPath() {
    const std::wstring path = Environment(L"PELORIN_TEST_STANDIN");
    if (path.empty()) throw std::runtime_error("PELORIN_TEST_STANDIN is not set");
    return path;
}

StandInProcess::StandInProcess() {
    static int serial = 0;
    const std::wstring tag = std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    const std::wstring eventName = L"PelorinStandinExit-" + tag;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring record = std::wstring(temp) + L"standin-" + tag + L".txt";
    exitEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ::SetEnvironmentVariableW(L"PELORIN_STANDIN_QUIET", L"1");
    ::SetEnvironmentVariableW(L"PELORIN_STANDIN_EXIT_EVENT", eventName.c_str());
    ::SetEnvironmentVariableW(L"PELORIN_STANDIN_RECORD", record.c_str());
    const std::wstring exe = StandInPath();
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    const BOOL started = ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                          nullptr, &startup, &process_);
    for (const wchar_t* name : {L"PELORIN_STANDIN_QUIET", L"PELORIN_STANDIN_EXIT_EVENT", L"PELORIN_STANDIN_RECORD"}) {
        ::SetEnvironmentVariableW(name, nullptr);
    }
    if (!started) {
        ::CloseHandle(exitEvent_);
        throw std::runtime_error("cannot start the stand-in application");
    }
    for (int i = 0; i < 400; ++i) {
        if (::GetFileAttributesW(record.c_str()) != INVALID_FILE_ATTRIBUTES) {
            ::DeleteFileW(record.c_str());
            return;
        }
        if (::WaitForSingleObject(process_.hProcess, 50) == WAIT_OBJECT_0) break;
    }
    Stop();
    ::CloseHandle(process_.hProcess);
    ::CloseHandle(process_.hThread);
    ::CloseHandle(exitEvent_);
    throw std::runtime_error("the stand-in application did not take its locks");
}

DWORD StandInProcess::Stop() {
    DWORD code = STILL_ACTIVE;
    if (!stopped_) {
        ::SetEvent(exitEvent_);
        if (::WaitForSingleObject(process_.hProcess, 20000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_.hProcess, 99);
            ::WaitForSingleObject(process_.hProcess, 5000);
        }
        stopped_ = true;
    }
    ::GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

StandInProcess::~StandInProcess() {
    Stop();
    ::CloseHandle(process_.hProcess);
    ::CloseHandle(process_.hThread);
    ::CloseHandle(exitEvent_);
}

}  // namespace pelorin::setup::testing
