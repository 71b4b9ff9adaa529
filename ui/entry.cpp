#include "ui/entry.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "engine/product.h"
#include "engine/relocate.h"
#include "platform/paths.h"
#include "platform/support_log.h"
#include "ui/ui_calls.h"
#include "ui/ui_state.h"
#include "ui/window.h"

namespace pelorin::setup {
namespace {

constexpr wchar_t UsageText[] =
    L"Запустите установщик без параметров или используйте удаление Pelorin в настройках Windows.";
constexpr wchar_t InstallCaption[] = L"Установка Pelorin";
constexpr wchar_t UninstallCaption[] = L"Удаление Pelorin";
constexpr DWORD WindowStyle = WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
static_assert(WindowStyle == 0x2CA0000);
constexpr int DesignClientWidth = 640;
constexpr int DesignClientHeight = 480;

// The argument array of CommandLineToArgvW, freed with LocalFree.
class ArgumentList {
public:
    ArgumentList() : arguments_(::CommandLineToArgvW(::GetCommandLineW(), &count_)) {}
    ~ArgumentList() {
        if (arguments_ != nullptr) {
            ::LocalFree(arguments_);
        }
    }
    ArgumentList(const ArgumentList&) = delete;
    ArgumentList& operator=(const ArgumentList&) = delete;

    RunMode Mode() const {
        if (arguments_ == nullptr || count_ > 2) {
            return RunMode::Usage;
        }
        if (count_ < 2) {
            return RunMode::Install;
        }
        const wchar_t* argument = arguments_[1];
        if (std::wcscmp(argument, L"--uninstall") == 0 || std::wcscmp(argument, RelocatedUninstallArgument) == 0) {
            return RunMode::Uninstall;
        }
        return RunMode::Usage;
    }

private:
    int count_ = 0;
    LPWSTR* arguments_;
};

// Hands an uninstaller started from the installation over to its relocated
// copy. Returns the exit code when this process ends here, -1 to go on.
int RelocateIfInstalled() {
    bool relocated = false;
    FailureCode code = FailureCode::None;
    try {
        code = RelocateUninstaller(relocated).code;
    } catch (...) {
        code = FailureCode::WriteFailed;
    }
    if (relocated) {
        ProcessLog().Line("relocation: the relocated copy was started; this process ends");
        return 0;
    }
    if (code != FailureCode::None) {
        ProcessLog().Line("relocation failed, code " + std::to_string(static_cast<int>(code)));
        ProcessLog().Line(DescribeFirstCause(OperationFirstCause()));
        const std::wstring text(FailureMessage(code));
        UiCalls().MessageBoxW(nullptr, text.c_str(), UninstallCaption, MB_ICONERROR);
        return 1;
    }
    return -1;
}

void UsePerMonitorDpi() {
    const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) {
        return;
    }
    using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    const auto set = reinterpret_cast<SetContext>(
        reinterpret_cast<void*>(::GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
    if (set != nullptr) {
        set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    }
}

const char* ModeName(RunMode mode) {
    switch (mode) {
        case RunMode::Install:
            return "install";
        case RunMode::Uninstall:
            return "uninstall";
        default:
            return "usage";
    }
}

// Opens this run's support log in the user's local temporary folder and
// writes what the run starts from. A log that cannot be opened is left out.
void StartSupportLog(RunMode mode) noexcept {
    SupportLog& log = ProcessLog();
    try {
        if (!log.Open(JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Temp"))) {
            return;
        }
        log.Line("Pelorin Setup " + std::string(ProductVersionUtf8));
        log.Line(std::string("run mode: ") + ModeName(mode));
        log.Line("command line: ", ::GetCommandLineW());
        OSVERSIONINFOW version{};
        version.dwOSVersionInfoSize = sizeof(version);
        using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        const auto rtlGetVersion = ntdll == nullptr ? nullptr
                                                    : reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
                                                          ::GetProcAddress(ntdll, "RtlGetVersion")));
        SYSTEM_INFO system{};
        ::GetNativeSystemInfo(&system);
        std::string windows = "Windows ";
        if (rtlGetVersion != nullptr && rtlGetVersion(&version) == 0) {
            windows += std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
                       std::to_string(version.dwBuildNumber);
        } else {
            windows += "(version unknown)";
        }
        windows += system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? ", x64"
                   : system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? ", arm64"
                                                                                   : ", other architecture";
        log.Line(windows);
        log.Line("program: ", OwnExecutablePath());
        log.Line("install folder: ", InstallDirectoryOrEmpty());
        log.Line("log folder: ", ParentPath(log.Path()));
    } catch (...) {
        // The log is only an aid: a failure to describe the run changes nothing.
    }
}

bool IsUsableButton(HWND button) {
    return button != nullptr && ::IsWindowEnabled(button) && ::IsWindowVisible(button);
}

}  // namespace

RunMode CommandLineRunMode() {
    const ArgumentList arguments;
    return arguments.Mode();
}

bool RegisterSetupWindowClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    static_assert(sizeof(WNDCLASSEXW) == 80);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = SetupWindowProc;
    windowClass.hInstance = Ui().instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = SetupWindowClassName;
    return ::RegisterClassExW(&windowClass) != 0;
}

HWND CreateSetupWindow(int showCommand) {
    UiState& ui = Ui();
    RECT frame{0, 0, ::MulDiv(DesignClientWidth, ui.dpi, 96), ::MulDiv(DesignClientHeight, ui.dpi, 96)};
    ::AdjustWindowRectExForDpi(&frame, WindowStyle, FALSE, 0, static_cast<UINT>(ui.dpi));
    RECT work{0, 0, frame.right - frame.left, frame.bottom - frame.top};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int workWidth = work.right - work.left;
    const int workHeight = work.bottom - work.top;
    const int width = std::min(workWidth, static_cast<int>(frame.right - frame.left));
    const int height = std::min(workHeight, static_cast<int>(frame.bottom - frame.top));
    const int x = work.left + (workWidth - width) / 2;
    const int y = work.top + (workHeight - height) / 2;
    const HWND window = ::CreateWindowExW(WS_EX_CONTROLPARENT, SetupWindowClassName,
                                          ui.uninstallMode ? UninstallCaption : InstallCaption, WindowStyle, x, y,
                                          width, height, nullptr, nullptr, ui.instance, nullptr);
    if (window == nullptr) {
        return nullptr;
    }
    ::ShowWindow(window, showCommand);
    ::UpdateWindow(window);
    ::SetFocus(ui.primaryButton);
    return window;
}

void HandleLoopMessage(MSG& message) {
    UiState& ui = Ui();
    if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
        Runner().RequestClose();
        return;
    }
    if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
        const HWND focus = ::GetFocus();
        if ((focus == ui.primaryButton || focus == ui.closeButton) && IsUsableButton(focus)) {
            ::SendMessageW(ui.mainWindow, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(focus), BN_CLICKED),
                           reinterpret_cast<LPARAM>(focus));
        } else if (IsUsableButton(ui.primaryButton)) {
            Runner().BeginOperation();
        }
        return;
    }
    if (!::IsDialogMessageW(ui.mainWindow, &message)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void ReleaseWindowResources() {
    UiState& ui = Ui();
    Runner().ShutdownWorker();
    DeleteFonts();
    if (ui.appIcon != nullptr) {
        ::DestroyIcon(ui.appIcon);
        ui.appIcon = nullptr;
    }
    for (HBRUSH* brush : {&ui.backgroundBrush, &ui.cardBrush}) {
        if (*brush != nullptr) {
            ::DeleteObject(*brush);
            *brush = nullptr;
        }
    }
}

int RunSetup(HINSTANCE instance, int showCommand) {
    UiState& ui = Ui();
    ui.instance = instance;
    const RunMode mode = CommandLineRunMode();
    StartSupportLog(mode);
    if (mode == RunMode::Usage) {
        UiCalls().MessageBoxW(nullptr, UsageText, L"Pelorin", MB_ICONINFORMATION);
        return 2;
    }
    if (mode == RunMode::Uninstall) {
        ui.uninstallMode = true;
        const int ended = RelocateIfInstalled();
        if (ended >= 0) {
            return ended;
        }
    }
    try {
        ui.installPath = InstallDirectoryOrEmpty();
    } catch (...) {
        ui.installPath.clear();
    }
    UsePerMonitorDpi();
    ui.dpi = static_cast<int>(::GetDpiForSystem());

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    static_assert(sizeof(INITCOMMONCONTROLSEX) == 8);
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    ::InitCommonControlsEx(&controls);
    LoadPalette();

    if (!RegisterSetupWindowClass()) {
        return 1;
    }
    if (CreateSetupWindow(showCommand) == nullptr) {
        ReleaseWindowResources();
        return 1;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        HandleLoopMessage(message);
    }
    ReleaseWindowResources();
    return 0;
}

}  // namespace pelorin::setup
