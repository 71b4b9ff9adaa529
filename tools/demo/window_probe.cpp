// The demo's eyes, a development tool (not the product): it finds a window
// by its class and caption and tells the demo script where it is and what a
// control says, so that the script can aim its X mouse clicks and know when a
// screen has appeared. It never presses anything itself.
//
//   window_probe where CLASS CAPTION [MS]
//       waits for the window; prints "left top right bottom clientLeft clientTop"
//       in screen pixels
//   window_probe wait CLASS CAPTION ID TEXT [MS]
//       waits until the child control ID reads TEXT (ID "any": any child)
//   window_probe gone CLASS CAPTION [MS]
//       waits until no such window is left
// Exit code 0 when it happened, 1 after MS milliseconds (default 60000), 2 for
// a wrong command line.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

HWND Find(const wchar_t* className, const wchar_t* caption) {
    const HWND window = ::FindWindowW(className, caption);
    return window != nullptr && ::IsWindowVisible(window) ? window : nullptr;
}

std::wstring TextOf(HWND window) {
    wchar_t buffer[1024] = {};
    const int length = ::GetWindowTextW(window, buffer, 1024);
    return std::wstring(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

template <typename Done>
bool WaitFor(DWORD ms, Done done) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    while (!done()) {
        if (::GetTickCount64() > end) return false;
        ::Sleep(25);
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    const std::wstring command = argv[1];
    const wchar_t* className = argv[2];
    const wchar_t* caption = argv[3];
    const auto timeout = [&](int index) { return argc > index ? static_cast<DWORD>(std::wcstoul(argv[index], nullptr, 10)) : 60000u; };

    if (command == L"where") {
        HWND window = nullptr;
        if (!WaitFor(timeout(4), [&] { return (window = Find(className, caption)) != nullptr; })) return 1;
        RECT frame{};
        ::GetWindowRect(window, &frame);
        POINT client{0, 0};
        ::ClientToScreen(window, &client);
        std::printf("%ld %ld %ld %ld %ld %ld\n", frame.left, frame.top, frame.right, frame.bottom, client.x, client.y);
        return 0;
    }
    if (command == L"wait" && argc >= 6) {
        const bool anyChild = std::wcscmp(argv[4], L"any") == 0;
        const int id = static_cast<int>(std::wcstol(argv[4], nullptr, 10));
        struct Search {
            std::wstring text;
            bool found = false;
        } search{argv[5]};
        return WaitFor(timeout(6), [&] {
                   const HWND window = Find(className, caption);
                   if (window == nullptr) return false;
                   if (!anyChild) {
                       const HWND control = ::GetDlgItem(window, id);
                       return control != nullptr && TextOf(control) == search.text;
                   }
                   search.found = false;
                   ::EnumChildWindows(
                       window,
                       [](HWND child, LPARAM data) -> BOOL {
                           auto& s = *reinterpret_cast<Search*>(data);
                           s.found = s.found || (::IsWindowVisible(child) && TextOf(child) == s.text);
                           return TRUE;
                       },
                       reinterpret_cast<LPARAM>(&search));
                   return search.found;
               })
                   ? 0
                   : 1;
    }
    if (command == L"gone") {
        return WaitFor(timeout(4), [&] { return Find(className, caption) == nullptr; }) ? 0 : 1;
    }
    return 2;
}
