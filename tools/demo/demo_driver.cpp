// The demo driver, a development tool (not the product): it runs the setup
// engine against the local release server the way the installer window will,
// with a console progress line, and shows what each step leaves behind.
//
//   1. a fresh install of the demo release (download, verification, staging,
//      registration, Start-menu and desktop shortcuts);
//   2. the same install again: the installation is verified and registered
//      anew, nothing is downloaded;
//   3. what is on disk and in the registry now;
//   4. the verified launch of the application, and the refusal of install and
//      uninstall while it runs; then the application is closed;
//   5. the uninstall, and what is left (the user's data folder).
// Exit code 0 when every step did what it should; 1 with a message otherwise.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/contract.h"
#include "engine/install.h"
#include "engine/launch.h"
#include "engine/registration.h"
#include "engine/uninstall.h"
#include "payload/manifest.h"
#include "platform/paths.h"

namespace {

using namespace pelorin::setup;

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void Line(const std::string& text) {
    Print(text + "\n");
}

const char* StageName(Stage stage) {
    switch (stage) {
        case Stage::Preparing: return "preparing";
        case Stage::Downloading: return "downloading";
        case Stage::Verifying: return "verifying";
        case Stage::Installing: return "installing";
        case Stage::Finalizing: return "finalizing";
        case Stage::Removing: return "removing";
        case Stage::Completing: return "completing";
    }
    return "?";
}

// One console line, rewritten in place: stage, amount done of total, percent.
class ProgressLine {
public:
    void operator()(const Progress& p) {
        const auto now = std::chrono::steady_clock::now();
        const bool last = p.done == p.total;
        if (p.stage == last_ && !last && now - shown_ < std::chrono::milliseconds(100)) return;
        if (p.stage != last_ && started_) Print("\n");  // each stage keeps its last line
        started_ = true;
        last_ = p.stage;
        shown_ = now;
        char text[160];
        if (p.total == 0) {
            std::snprintf(text, sizeof(text), "\r  %-12s%40s", StageName(p.stage), "");
        } else if (p.stage == Stage::Removing) {
            std::snprintf(text, sizeof(text), "\r  %-12s %5llu of %5llu files  %5.1f %%            ", StageName(p.stage),
                          static_cast<unsigned long long>(p.done), static_cast<unsigned long long>(p.total),
                          100.0 * static_cast<double>(p.done) / static_cast<double>(p.total));
        } else {
            std::snprintf(text, sizeof(text), "\r  %-12s %7.1f of %7.1f MiB  %5.1f %%    ", StageName(p.stage),
                          static_cast<double>(p.done) / 1048576.0, static_cast<double>(p.total) / 1048576.0,
                          100.0 * static_cast<double>(p.done) / static_cast<double>(p.total));
        }
        Print(text);
    }

private:
    Stage last_ = Stage::Completing;
    bool started_ = false;
    std::chrono::steady_clock::time_point shown_{};
};

[[noreturn]] void Fail(const std::string& what, const OperationResult& result) {
    Line("\nFAILED: " + what + ": code " + std::to_string(static_cast<int>(result.code)) + " - " +
         Utf8(FailureMessage(result.code)));
    std::exit(1);
}

OperationResult Expect(const std::string& what, const OperationResult& result, FailureCode expected) {
    if (result.code != expected) Fail(what, result);
    return result;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

OperationResult TimedInstall(const char* title, bool desktop) {
    Line(title);
    std::atomic<bool> cancel{false};
    ProgressLine line;
    Options options;
    options.createDesktopShortcut = desktop;
    const auto start = std::chrono::steady_clock::now();
    const OperationResult result = Install(options, cancel, std::ref(line));
    char done[96];
    std::snprintf(done, sizeof(done), "\n  result: code %d, done in %.1f s", static_cast<int>(result.code),
                  Seconds(start));
    Line(done);
    return result;
}

std::string ShortcutDescription(const std::wstring& path) {
    std::optional<std::wstring> target;
    try {
        target = ReadShortcutTarget(path);
    } catch (const Failure&) {
        // No file there.
    }
    return Utf8(path) + "\n      -> " + (target ? Utf8(*target) : std::string("(no shortcut)"));
}

// The values of the uninstall entry as the registry holds them now; empty
// when there is no entry.
std::vector<RegistryValueSnapshot> RegisteredValues() {
    std::vector<RegistryValueSnapshot> values;
    HKEY key = nullptr;
    const std::wstring path(UninstallKeyPath);
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return values;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[512];
        DWORD nameLength = 512, type = 0, size = 0;
        if (::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        RegistryValueSnapshot value{std::wstring(name, nameLength), type, std::vector<std::uint8_t>(size)};
        nameLength = 512;
        ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, value.data.data(), &size);
        values.push_back(std::move(value));
    }
    ::RegCloseKey(key);
    return values;
}

void ShowState(const std::wstring& installDirectory) {
    Line("What the install left:");
    WIN32_FIND_DATAW data;
    std::size_t entries = 0;
    HANDLE search = ::FindFirstFileW((installDirectory + L"\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (std::wstring_view(data.cFileName) != L"." && std::wstring_view(data.cFileName) != L"..") ++entries;
        } while (::FindNextFileW(search, &data));
        ::FindClose(search);
    }
    Line("  version folder   " + Utf8(installDirectory) + " (" + std::to_string(entries) +
         " top-level entries; the release has " + std::to_string(PayloadEntryCount) + " files)");
    HANDLE marker = ::CreateFileW((installDirectory + L"\\.pelorin-installation").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        char buffer[1024];
        DWORD got = 0;
        ::ReadFile(marker, buffer, sizeof(buffer), &got, nullptr);
        ::CloseHandle(marker);
        Line("  marker           " + std::to_string(got) + " bytes:");
        std::string text(buffer, got);
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            Line("                   " + text.substr(at, end - at));
        }
    }
    Line("  uninstall entry  HKCU\\" + Utf8(UninstallKeyPath) + ":");
    for (const RegistryValueSnapshot& value : RegisteredValues()) {
        std::string shown;
        if (value.type == REG_SZ) {
            shown = Utf8(std::wstring(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / 2 - 1));
            shown = "REG_SZ    \"" + shown + "\"";
        } else if (value.type == REG_DWORD) {
            DWORD number = 0;
            std::memcpy(&number, value.data.data(), sizeof(number));
            shown = "REG_DWORD " + std::to_string(number);
        }
        char name[64];
        std::snprintf(name, sizeof(name), "    %-18s ", Utf8(value.name).c_str());
        Line(name + shown);
    }
    Line("  Start menu       " + ShortcutDescription(StartMenuShortcutPath()));
    Line("  desktop          " + ShortcutDescription(DesktopShortcutPath()));
}

bool SessionLockHeld() {
    HANDLE lock = ::CreateFileW(JoinPath(DataDirectory(), L"session.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (lock == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;
    ::CloseHandle(lock);
    return false;
}

// Closes the application's window the way a user would, and waits until it
// has let go of its locks.
bool CloseApplication() {
    for (int i = 0; i < 200; ++i) {
        HWND window = ::FindWindowW(L"Pelorin.Standin.Window", nullptr);
        if (window != nullptr) {
            ::PostMessageW(window, WM_CLOSE, 0, 0);
            for (int j = 0; j < 200 && SessionLockHeld(); ++j) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return !SessionLockHeld();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void ShowLeftovers(const std::wstring& installDirectory) {
    Line("What the uninstall left:");
    const auto show = [](const std::wstring& path) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        const char* what = attributes == INVALID_FILE_ATTRIBUTES          ? "absent"
                           : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "folder"
                                                                          : "file";
        char text[64];
        std::snprintf(text, sizeof(text), "  %-7s ", what);
        Line(text + Utf8(path));
    };
    show(DataDirectory());
    show(JoinPath(DataDirectory(), L"session.lock"));
    show(ProductRootDirectory());
    show(JoinPath(ProductRootDirectory(), L"installer.lock"));
    show(installDirectory);
    show(StartMenuShortcutPath());
    show(DesktopShortcutPath());
    Line(std::string("  uninstall entry ") + (RegisteredValues().empty() ? "absent" : "present"));
}

}  // namespace

int wmain() {
    const auto start = std::chrono::steady_clock::now();
    const std::wstring installDirectory = InstallDirectory();

    Expect("fresh install", TimedInstall("Installing (fresh):", true), FailureCode::None);
    const OperationResult again = TimedInstall("Installing again (re-registration):", true);
    Expect("re-registration", again, FailureCode::None);
    ShowState(again.installPath);

    Line("Opening the application (every file is verified first):");
    Expect("launch", LaunchApplication(), FailureCode::None);
    Line("  started " + Utf8(JoinPath(installDirectory, L"Pelorin.exe")));
    for (int i = 0; i < 400 && !SessionLockHeld(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // until it holds its locks
    }
    std::atomic<bool> cancel{false};
    const OperationResult blockedInstall = Install(Options{}, cancel, {});
    Expect("install while the application runs", blockedInstall, FailureCode::AppRunning);
    Line("  install while it runs:   code 2 - " + Utf8(FailureMessage(blockedInstall.code)));
    const OperationResult blockedUninstall = Uninstall(cancel, {});
    Expect("uninstall while the application runs", blockedUninstall, FailureCode::AppRunning);
    Line("  uninstall while it runs: code 2 - " + Utf8(FailureMessage(blockedUninstall.code)));
    if (!CloseApplication()) {
        Line("FAILED: the application did not close");
        return 1;
    }
    Line("  closed the application");

    Line("Uninstalling:");
    ProgressLine line;
    Expect("uninstall", Uninstall(cancel, std::ref(line)), FailureCode::None);
    Line("");
    ShowLeftovers(installDirectory);

    char total[64];
    std::snprintf(total, sizeof(total), "Demo finished in %.1f s.", Seconds(start));
    Line(total);
    return 0;
}
