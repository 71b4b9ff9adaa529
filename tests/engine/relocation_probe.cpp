// A small program that stands in for the setup program in the relocation
// tests. Installed by "--install", its copy in the installation is the
// installed uninstaller; started any other way it calls RelocateUninstaller
// and reports: exit code = the result code, plus 100 when relocated, and one
// line "<code> <relocated> <own path>|<command line>" in the file named by
// PELORIN_PROBE_REPORT with "-relocating" or "-staying" appended.
#include <windows.h>

#include <atomic>
#include <string>

#include "engine/install.h"
#include "engine/relocate.h"
#include "platform/paths.h"

namespace {

std::string Utf8(const std::wstring& text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

void Report(const std::wstring& file, const std::string& line) {
    HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(h);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using namespace pelorin::setup;
    if (argc == 2 && std::wstring(argv[1]) == L"--install") {
        std::atomic<bool> cancel{false};
        return static_cast<int>(Install(Options{}, cancel, {}).code);
    }
    bool relocated = false;
    const OperationResult result = RelocateUninstaller(relocated);
    wchar_t report[4096];
    const DWORD n = ::GetEnvironmentVariableW(L"PELORIN_PROBE_REPORT", report, 4096);
    if (n > 0 && n < 4096) {
        std::wstring self;
        try {
            self = OwnExecutablePath();
        } catch (...) {
        }
        Report(std::wstring(report, n) + (relocated ? L"-relocating" : L"-staying"),
               std::to_string(static_cast<int>(result.code)) + " " + (relocated ? "1 " : "0 ") + Utf8(self) + "|" +
                   Utf8(::GetCommandLineW()) + "\n");
    }
    return static_cast<int>(result.code) + (relocated ? 100 : 0);
}
