#include "tests/ui/window_fixture.h"

#include <commctrl.h>

#include "ui/entry.h"
#include "ui/window.h"

namespace pelorin::setup::testing {
namespace {

// Once per process, as the program does before its window exists.
void PrepareProcess() {
    static const bool prepared = [] {
        Ui().instance = ::GetModuleHandleW(nullptr);
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&controls);
        return RegisterSetupWindowClass();
    }();
    EXPECT_TRUE(prepared) << "the window class registers";
}

// Back to the state of a program that has just started.
void ResetState(UiState& ui) {
    ui.screen = Screen::Ready;
    ui.uninstallMode = false;
    ui.cancellable = false;
    ui.canRetry = true;
    ui.closeRequested = false;
    ui.cancelRequested = false;
    ui.installPath.clear();
    ui.lastResult = OperationResult{};
    ui.marqueeOn = false;
    ui.mainWindow = nullptr;
    for (HWND* control : {&ui.iconStatic, &ui.brandLabel, &ui.subtitleLabel, &ui.titleLabel, &ui.bodyLabel,
                          &ui.cardTitleLabel, &ui.cardTextLabel, &ui.pathLabel, &ui.noteLabel, &ui.footerLabel,
                          &ui.progressBar, &ui.desktopShortcutCheck, &ui.closeButton, &ui.primaryButton}) {
        *control = nullptr;
    }
    ui.dpi = 96;
    ui.scale = 1.0;
}

}  // namespace

std::wstring TextOf(HWND control) {
    wchar_t buffer[1024] = {};
    const int length = ::GetWindowTextW(control, buffer, 1024);
    return std::wstring(buffer, static_cast<std::size_t>(length > 0 ? length : 0));
}

RECT ClientRectOf(HWND control) {
    RECT rect{};
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(HWND_DESKTOP, ::GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

SetupWindowTest::SetupWindowTest()
    : ui_(Ui()),
      messageBox_(UiCalls().MessageBoxW,
                  [this](HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
                      boxes_.push_back({text, caption, type, owner != nullptr && owner == ui_.mainWindow});
                      return boxAnswer_;
                  }),
      install_(UiServices().install,
               [this](const Options& options, std::atomic<bool>& cancel, const ProgressFunction& progress) {
                   NoteCall(options.createDesktopShortcut ? "install desktop" : "install");
                   return operation_ ? operation_(cancel, progress) : OperationResult{};
               }),
      uninstall_(UiServices().uninstall,
                 [this](std::atomic<bool>& cancel, const ProgressFunction& progress) {
                     NoteCall("uninstall");
                     return operation_ ? operation_(cancel, progress) : OperationResult{};
                 }),
      launchOverride_(UiServices().launch, [this]() {
          NoteCall("launch");
          return launch_ ? launch_() : OperationResult{};
      }) {
    PrepareProcess();
    ResetState(ui_);
    LoadPalette();
}

SetupWindowTest::~SetupWindowTest() {
    Close();
}

void SetupWindowTest::NoteCall(std::string call) {
    std::lock_guard lock(callsMutex_);
    calls_.push_back(std::move(call));
}

std::vector<std::string> SetupWindowTest::Calls() {
    std::lock_guard lock(callsMutex_);
    return calls_;
}

void SetupWindowTest::Open(bool uninstallMode) {
    ui_.uninstallMode = uninstallMode;
    ASSERT_NE(CreateSetupWindow(SW_SHOWNORMAL), nullptr);
    Pump();
}

void SetupWindowTest::Close() {
    if (ui_.mainWindow != nullptr && ::IsWindow(ui_.mainWindow)) {
        ::DestroyWindow(ui_.mainWindow);
    }
    Pump();
    ReleaseWindowResources();
    ResetState(ui_);
    LoadPalette();
}

void SetupWindowTest::Pump() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message != WM_QUIT) {
            HandleLoopMessage(message);
        }
    }
}

bool SetupWindowTest::PumpUntil(const std::function<bool()>& done, DWORD ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    while (!done()) {
        if (::GetTickCount64() > end) {
            return false;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        Pump();
    }
    return true;
}

}  // namespace pelorin::setup::testing
