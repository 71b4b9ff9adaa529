// Stand-in for the Pelorin application, the program the setup installs.
//
// While it runs it holds what the real application holds: "session.lock" in
// the data folder (LocalAppData\Pelorin\Windows), open without sharing, and
// the mutex "Global\Pelorin.Engine.v1"; and it shows a small window with the
// product name and version. Started with no argument and no test variables it
// behaves as the application a user would see. If a lock is already held it
// says so and exits with a non-zero code.
//
// Tests steer it through environment variables, which a launched process
// inherits (the setup starts it without arguments):
//   PELORIN_STANDIN_RECORD=<file>   once both locks are held, writes its whole
//                                   command line and current folder there
//                                   (UTF-8, one per line; replaced atomically)
//   PELORIN_STANDIN_EXIT_EVENT=<n>  exits when the named event is set
//   PELORIN_STANDIN_EXIT_AFTER_MS=<ms>  exits on its own after that long
//   PELORIN_STANDIN_QUIET=1         no message boxes (failures: exit code only)
//   PELORIN_STANDIN_PROBE_HANDLE=<n>  adds a third line to the record: whether
//                                   the handle value n (decimal) is open in
//                                   this process ("open" or "closed"), to
//                                   show what a starter let it inherit
#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitSessionLockHeld = 3;
constexpr int ExitEngineMutexHeld = 4;
constexpr UINT_PTR ExitTimerId = 1;

const wchar_t* const WindowClassName = L"Pelorin.Standin.Window";
const wchar_t* const WindowTitle = L"Pelorin";
const wchar_t* const WindowText = L"Pelorin 0.5.0";

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) noexcept : h_(h) {}
    ~Handle() {
        if (valid()) ::CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const noexcept { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const noexcept { return h_; }

private:
    HANDLE h_;
};

std::wstring Environment(const wchar_t* name) {
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) return std::wstring();
    std::wstring value(needed, L'\0');
    const DWORD got = ::GetEnvironmentVariableW(name, value.data(), needed);
    value.resize(got < needed ? got : 0);
    return value;
}

bool Quiet() {
    return !Environment(L"PELORIN_STANDIN_QUIET").empty();
}

void Tell(const wchar_t* text) {
    if (!Quiet()) ::MessageBoxW(nullptr, text, WindowTitle, MB_ICONINFORMATION | MB_OK);
}

std::wstring DataFolder() {
    PWSTR local = nullptr;
    std::wstring folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local)) && local != nullptr) {
        folder = std::wstring(local) + L"\\Pelorin\\Windows";
    }
    ::CoTaskMemFree(local);
    return folder;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    }
    return out;
}

// Writes the command line and current folder to `path` by way of a temporary
// file and a rename, so a reader never sees half a record.
bool WriteRecord(const std::wstring& path) {
    const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
    std::wstring current(needed, L'\0');
    const DWORD got = ::GetCurrentDirectoryW(needed, current.data());
    current.resize(got < needed ? got : 0);
    std::string content = ToUtf8(::GetCommandLineW()) + "\n" + ToUtf8(current) + "\n";
    const std::wstring probe = Environment(L"PELORIN_STANDIN_PROBE_HANDLE");
    if (!probe.empty()) {
        const auto value = static_cast<std::uintptr_t>(std::wcstoull(probe.c_str(), nullptr, 10));
        DWORD flags = 0;
        const bool open = ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != 0;
        content += open ? "open\n" : "closed\n";
    }
    const std::wstring temporary = path + L".tmp";
    {
        Handle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
        if (!file.valid()) return false;
        DWORD written = 0;
        if (!::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
            written != content.size()) {
            return false;
        }
    }
    return ::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == ExitTimerId) ::DestroyWindow(window);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(window, &paint);
            RECT client;
            ::GetClientRect(window, &client);
            ::DrawTextW(dc, WindowText, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            ::EndPaint(window, &paint);
            return 0;
        }
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const std::wstring folder = DataFolder();
    if (folder.empty()) {
        Tell(L"Pelorin: папка данных недоступна.");
        return ExitFailed;
    }
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);

    const Handle sessionLock(::CreateFileW((folder + L"\\session.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!sessionLock.valid()) {
        Tell(L"Pelorin уже запущен или его файлы заняты установщиком.");
        return ExitSessionLockHeld;
    }
    ::SetLastError(0);
    const Handle engineMutex(::CreateMutexW(nullptr, FALSE, L"Global\\Pelorin.Engine.v1"));
    if (!engineMutex.valid() || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        Tell(L"Pelorin уже запущен или работает установщик.");
        return ExitEngineMutexHeld;
    }

    const std::wstring record = Environment(L"PELORIN_STANDIN_RECORD");
    if (!record.empty() && !WriteRecord(record)) {
        return ExitFailed;
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = WindowClassName;
    if (::RegisterClassExW(&windowClass) == 0) {
        return ExitFailed;
    }
    HWND window = ::CreateWindowExW(0, WindowClassName, WindowTitle, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                    CW_USEDEFAULT, CW_USEDEFAULT, 320, 160, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return ExitFailed;
    }
    ::ShowWindow(window, show);
    ::UpdateWindow(window);

    const std::wstring after = Environment(L"PELORIN_STANDIN_EXIT_AFTER_MS");
    if (!after.empty()) {
        ::SetTimer(window, ExitTimerId, static_cast<UINT>(std::wcstoul(after.c_str(), nullptr, 10)), nullptr);
    }
    const std::wstring eventName = Environment(L"PELORIN_STANDIN_EXIT_EVENT");
    const Handle exitEvent(eventName.empty() ? nullptr : ::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));

    // Message loop that also ends when the exit event is set.
    while (true) {
        const HANDLE waitOn = exitEvent.get();
        const DWORD count = exitEvent.valid() ? 1 : 0;
        const DWORD woke = ::MsgWaitForMultipleObjects(count, count ? &waitOn : nullptr, FALSE, INFINITE, QS_ALLINPUT);
        if (count == 1 && woke == WAIT_OBJECT_0) {
            ::DestroyWindow(window);
        }
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return ExitOk;
            }
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}
