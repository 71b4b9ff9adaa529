#include "tests/support/standin_process.h"

#include <shlobj.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "tests/support/install_tree.h"

namespace pelorin::setup::testing {
namespace {


}  // namespace

std::wstring StandInPath() {
    const std::wstring path = testing::EnvironmentVariable(L"PELORIN_TEST_STANDIN");
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

namespace pelorin::setup::testing {
namespace {

constexpr const wchar_t* SteeringVariables[] = {L"PELORIN_STANDIN_QUIET", L"PELORIN_STANDIN_EXIT_EVENT",
                                                L"PELORIN_STANDIN_RECORD", L"PELORIN_STANDIN_PROBE_HANDLE"};

bool SessionLockFree() {
    PWSTR local = nullptr;
    std::wstring path;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local))) {
        path = std::wstring(local) + L"\\Pelorin\\Windows\\session.lock";
    }
    ::CoTaskMemFree(local);
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ::GetLastError() != ERROR_SHARING_VIOLATION;
    ::CloseHandle(h);
    return true;
}

}  // namespace

StandInSteering::StandInSteering() {
    static int serial = 0;
    const std::wstring tag = std::to_wstring(::GetCurrentProcessId()) + L"-s" + std::to_wstring(++serial);
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    record_ = std::wstring(temp) + L"standin-" + tag + L".txt";
    ::DeleteFileW(record_.c_str());
    const std::wstring eventName = L"PelorinStandinExit-" + tag;
    exitEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ::SetEnvironmentVariableW(L"PELORIN_STANDIN_QUIET", L"1");
    ::SetEnvironmentVariableW(L"PELORIN_STANDIN_EXIT_EVENT", eventName.c_str());
    ::SetEnvironmentVariableW(L"PELORIN_STANDIN_RECORD", record_.c_str());
}

StandInSteering::~StandInSteering() {
    ::SetEvent(exitEvent_);
    for (int i = 0; i < 200 && !SessionLockFree(); ++i) ::Sleep(50);
    for (const wchar_t* name : SteeringVariables) ::SetEnvironmentVariableW(name, nullptr);
    ::CloseHandle(exitEvent_);
    ::DeleteFileW(record_.c_str());
}

void StandInSteering::ProbeHandle(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    ::SetEnvironmentVariableW(L"PELORIN_STANDIN_PROBE_HANDLE", std::to_wstring(value).c_str());
}

bool StandInSteering::RecordExists() const {
    return ::GetFileAttributesW(record_.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> StandInSteering::WaitForRecord(DWORD milliseconds) const {
    for (DWORD waited = 0; !RecordExists() && waited < milliseconds; waited += 50) ::Sleep(50);
    std::vector<std::string> lines;
    HANDLE h = ::CreateFileW(record_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lines;
    char buffer[16384];
    DWORD got = 0;
    ::ReadFile(h, buffer, sizeof(buffer), &got, nullptr);
    ::CloseHandle(h);
    std::string text(buffer, got);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace pelorin::setup::testing
