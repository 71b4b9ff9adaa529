// The window itself: layout at several DPIs and client sizes, the palette
// with high contrast, painted pixels, the DPI change, the runner's messages
// through the real queue, Enter and Escape as key input, and the end of the
// run.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/ui/window_fixture.h"
#include "ui/entry.h"
#include "ui/screens.h"
#include "ui/window.h"

namespace pelorin::setup::testing {
namespace {

using namespace std::chrono_literals;

struct Expected {
    const char* name;
    HWND UiState::*control;
    int x, y, width, height;  // design units at scale 1.0
};

// The controls at the design size (640 x 480 units, scale 1.0).
const Expected DesignLayout[] = {
    {"icon", &UiState::iconStatic, 32, 28, 44, 44},
    {"brand", &UiState::brandLabel, 90, 26, 518, 30},
    {"subtitle", &UiState::subtitleLabel, 91, 57, 517, 20},
    {"title", &UiState::titleLabel, 32, 104, 576, 37},
    {"body", &UiState::bodyLabel, 33, 150, 574, 56},
    {"card title", &UiState::cardTitleLabel, 52, 232, 536, 23},
    {"card text", &UiState::cardTextLabel, 52, 261, 536, 25},
    {"progress bar", &UiState::progressBar, 52, 292, 536, 10},
    {"path", &UiState::pathLabel, 52, 313, 536, 20},
    {"check box", &UiState::desktopShortcutCheck, 32, 355, 576, 26},
    {"note", &UiState::noteLabel, 33, 387, 574, 20},
    {"footer", &UiState::footerLabel, 32, 441, 250, 20},
    {"primary button", &UiState::primaryButton, 424, 430, 184, 40},
    {"close button", &UiState::closeButton, 292, 430, 120, 40},
};

class Window : public SetupWindowTest {
protected:
    // Sets the client area to `width` x `height` pixels.
    void ResizeClient(int width, int height) {
        RECT frame{}, client{};
        ::GetWindowRect(ui_.mainWindow, &frame);
        ::GetClientRect(ui_.mainWindow, &client);
        const int extraWidth = (frame.right - frame.left) - client.right;
        const int extraHeight = (frame.bottom - frame.top) - client.bottom;
        ::SetWindowPos(ui_.mainWindow, nullptr, 0, 0, width + extraWidth, height + extraHeight,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        Pump();
        ::GetClientRect(ui_.mainWindow, &client);
        ASSERT_EQ(client.right, width);
        ASSERT_EQ(client.bottom, height);
    }

    void ExpectBox(HWND control, int x, int y, int width, int height, const char* name) {
        const RECT rect = ClientRectOf(control);
        EXPECT_EQ(rect.left, x) << name;
        EXPECT_EQ(rect.top, y) << name;
        EXPECT_EQ(rect.right - rect.left, width) << name;
        EXPECT_EQ(rect.bottom - rect.top, height) << name;
    }

    // The height of the font a control uses.
    LONG FontHeight(HWND control) {
        const auto font = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
        LOGFONTW log{};
        ::GetObjectW(font, sizeof(log), &log);
        return log.lfHeight;
    }

    // A pixel of the window as drawn now.
    COLORREF Pixel(int x, int y) {
        ::RedrawWindow(ui_.mainWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Pump();
        const HDC dc = ::GetDC(ui_.mainWindow);
        const COLORREF colour = ::GetPixel(dc, x, y);
        ::ReleaseDC(ui_.mainWindow, dc);
        return colour;
    }

    // A pixel as the window shows it once pending paints are done, without
    // asking for a repaint.
    COLORREF PixelAsShown(int x, int y) {
        ::RedrawWindow(ui_.mainWindow, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        PumpUntil([] { return false; }, 150);
        const HDC dc = ::GetDC(ui_.mainWindow);
        const COLORREF colour = ::GetPixel(dc, x, y);
        ::ReleaseDC(ui_.mainWindow, dc);
        return colour;
    }

    // The text colour the window gives a static control.
    COLORREF TextColourOf(HWND control) {
        const HDC dc = ::CreateCompatibleDC(nullptr);
        ::SendMessageW(ui_.mainWindow, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                       reinterpret_cast<LPARAM>(control));
        const COLORREF colour = ::GetTextColor(dc);
        ::DeleteDC(dc);
        return colour;
    }
};

// --- layout --------------------------------------------------------------------

TEST_F(Window, LayoutAtTheDesignSize) {
    Open();
    RECT client{};
    ::GetClientRect(ui_.mainWindow, &client);
    ASSERT_EQ(client.right, 640);
    ASSERT_EQ(client.bottom, 480);
    EXPECT_DOUBLE_EQ(ui_.scale, 1.0);
    for (const Expected& e : DesignLayout) {
        ExpectBox(ui_.*e.control, e.x, e.y, e.width, e.height, e.name);
    }
    EXPECT_TRUE(::IsWindowVisible(ui_.footerLabel));
    // On the Running screen the close button takes the primary button's place.
    ui_.screen = Screen::Running;
    RefreshScreen();
    ExpectBox(ui_.closeButton, 488, 430, 120, 40, "close button while running");
}

TEST_F(Window, ADpiChangeScalesEveryValueAndKeepsTheWindowOnItsMonitor) {
    Open();
    // The system's suggestion: the same window at 144 DPI, partly off the
    // work area's left and top edges.
    RECT frame{}, client{};
    ::GetWindowRect(ui_.mainWindow, &frame);
    ::GetClientRect(ui_.mainWindow, &client);
    RECT suggested{-200, -150, -200 + 960 + (frame.right - frame.left - client.right),
                   -150 + 720 + (frame.bottom - frame.top - client.bottom)};
    RECT work{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    ::SendMessageW(ui_.mainWindow, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    Pump();
    EXPECT_EQ(ui_.dpi, 144);
    ::GetWindowRect(ui_.mainWindow, &frame);
    EXPECT_EQ(frame.left, work.left);
    EXPECT_EQ(frame.top, work.top);
    ::GetClientRect(ui_.mainWindow, &client);
    ASSERT_EQ(client.right, 960);
    ASSERT_EQ(client.bottom, 720);
    EXPECT_DOUBLE_EQ(ui_.scale, 1.0);
    for (const Expected& e : DesignLayout) {
        ExpectBox(ui_.*e.control, ::MulDiv(e.x, 144, 96), ::MulDiv(e.y, 144, 96), ::MulDiv(e.width, 144, 96),
                  ::MulDiv(e.height, 144, 96), e.name);
    }
    EXPECT_EQ(FontHeight(ui_.bodyLabel), -21);
    EXPECT_EQ(FontHeight(ui_.titleLabel), -39);
    EXPECT_EQ(FontHeight(ui_.primaryButton), -21);

    // A suggestion larger than the work area is cut to it.
    RECT huge{work.left + 10, work.top + 10, work.left + 10 + 5000, work.top + 10 + 4000};
    ::SendMessageW(ui_.mainWindow, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&huge));
    Pump();
    ::GetWindowRect(ui_.mainWindow, &frame);
    EXPECT_EQ(frame.left, work.left);
    EXPECT_EQ(frame.top, work.top);
    EXPECT_EQ(frame.right - frame.left, work.right - work.left);
    EXPECT_EQ(frame.bottom - frame.top, work.bottom - work.top);
}

TEST_F(Window, AShortClientShrinksTheUpperPartOnly) {
    Open();
    ResizeClient(640, 420);
    EXPECT_NEAR(ui_.scale, 354.0 / 414.0, 1e-9);
    ExpectBox(ui_.iconStatic, 32, 24, 38, 38, "icon");
    ExpectBox(ui_.titleLabel, 32, 89, 576, 32, "title");
    ExpectBox(ui_.cardTitleLabel, 52, 183 + 15, 536, 20, "card title");
    ExpectBox(ui_.progressBar, 52, 183 + 67, 536, 9, "progress bar");
    ExpectBox(ui_.desktopShortcutCheck, 32, 304, 576, 22, "check box");
    ExpectBox(ui_.primaryButton, 424, 370, 184, 40, "primary button");
    ExpectBox(ui_.footerLabel, 32, 381, 250, 20, "footer");
    EXPECT_EQ(FontHeight(ui_.titleLabel), -22) << "26 x 0.855";
    EXPECT_EQ(FontHeight(ui_.bodyLabel), -12) << "14 x 0.855";
    EXPECT_EQ(FontHeight(ui_.primaryButton), -14) << "the button font does not scale";
}

TEST_F(Window, ANarrowClientHidesTheFooter) {
    Open();
    ResizeClient(500, 480);
    EXPECT_DOUBLE_EQ(ui_.scale, 0.78125);
    EXPECT_FALSE(::IsWindowVisible(ui_.footerLabel));
    ExpectBox(ui_.primaryButton, 284, 430, 184, 40, "primary button");
    ExpectBox(ui_.closeButton, 152, 430, 120, 40, "close button");
    ExpectBox(ui_.titleLabel, 32, 81, 436, 29, "title");
    ResizeClient(520, 480);
    EXPECT_TRUE(::IsWindowVisible(ui_.footerLabel));
    ExpectBox(ui_.footerLabel, 32, 441, 130, 20, "footer at 520");
    ResizeClient(470, 480);
    EXPECT_FALSE(::IsWindowVisible(ui_.footerLabel));
    ExpectBox(ui_.footerLabel, 32, 441, 80, 20, "footer at 470");
}

TEST_F(Window, TheScaleStopsAt04) {
    EXPECT_DOUBLE_EQ(LayoutScale(200, 150, 96), 0.4);
    EXPECT_DOUBLE_EQ(LayoutScale(10, 700, 96), 0.4);
    EXPECT_DOUBLE_EQ(LayoutScale(2000, 2000, 96), 1.0);
    EXPECT_DOUBLE_EQ(LayoutScale(960, 555, 144), (370 - 66) / 414.0);
    const LayoutPlan plan = PlanLayout(200, 150, 96, 0.4, false);
    EXPECT_EQ(plan.progressBar.height, 4) << "a bar never thinner than 4 units";
    EXPECT_FALSE(plan.footerVisible);
}

// --- palette and painting --------------------------------------------------------

TEST_F(Window, DefaultColours) {
    Open();
    EXPECT_EQ(Pixel(4, 4), RGB(245, 248, 252)) << "page";
    EXPECT_EQ(Pixel(40, 220), RGB(255, 255, 255)) << "card";
    EXPECT_EQ(Pixel(32, 280), RGB(204, 218, 234)) << "card outline";
    EXPECT_EQ(Pixel(4, 480 - 66), RGB(204, 218, 234)) << "footer separator";
    EXPECT_EQ(Pixel(424 + 8, 430 + 20), RGB(0, 106, 171)) << "primary button";
    EXPECT_EQ(Pixel(292 + 8, 430 + 20), RGB(255, 255, 255)) << "close button";
    EXPECT_EQ(Pixel(292, 430 + 20), RGB(204, 218, 234)) << "close button outline";

    EXPECT_EQ(TextColourOf(ui_.titleLabel), RGB(18, 34, 54));
    EXPECT_EQ(TextColourOf(ui_.bodyLabel), RGB(82, 100, 119));
    ui_.screen = Screen::Failed;
    ui_.lastResult.code = FailureCode::AppRunning;
    RefreshScreen();
    EXPECT_EQ(TextColourOf(ui_.bodyLabel), RGB(163, 35, 48)) << "the failure message";
    EXPECT_EQ(TextColourOf(ui_.cardTextLabel), RGB(82, 100, 119));

    // Pressed and disabled buttons.
    ::SendMessageW(ui_.primaryButton, BM_SETSTATE, TRUE, 0);
    EXPECT_EQ(Pixel(424 + 8, 430 + 20), RGB(0, 84, 139)) << "pressed primary";
    ::SendMessageW(ui_.primaryButton, BM_SETSTATE, FALSE, 0);
    ::SendMessageW(ui_.closeButton, BM_SETSTATE, TRUE, 0);
    EXPECT_EQ(Pixel(292 + 8, 430 + 20), RGB(234, 241, 249)) << "pressed close";
    ::SendMessageW(ui_.closeButton, BM_SETSTATE, FALSE, 0);
    ui_.screen = Screen::Launching;
    RefreshScreen();
    EXPECT_EQ(Pixel(424 + 8, 430 + 20), RGB(227, 234, 242)) << "disabled primary";
    EXPECT_EQ(Pixel(424, 430 + 20), RGB(204, 218, 234)) << "disabled primary outline";
}

TEST_F(Window, AFinishedOperationIsDrawnAfresh) {
    Open();
    ui_.screen = Screen::Running;
    ui_.cancellable = true;
    RefreshScreen();
    ShowProgress({Stage::Installing, 100, 100, true});
    ShowProgress({Stage::Verifying, 0, 0, true});  // the marquee runs
    EXPECT_EQ(PixelAsShown(488 + 8, 450), RGB(255, 255, 255)) << "the close button in the primary's place";
    const COLORREF barEmpty = PixelAsShown(4, 4);
    SetProgressMarquee(false);
    ui_.screen = Screen::Completed;
    RefreshScreen();
    // The close button moved back and the primary button came in: nothing of
    // one is left inside the other.
    EXPECT_EQ(PixelAsShown(292 + 8, 450), RGB(255, 255, 255)) << "close button";
    EXPECT_EQ(PixelAsShown(424 + 8, 450), RGB(0, 106, 171)) << "primary button";
    // The bar is full from end to end.
    const COLORREF start = PixelAsShown(52 + 20, 297);
    EXPECT_NE(start, barEmpty);
    for (const int x : {52 + 150, 52 + 300, 52 + 450, 52 + 520}) {
        EXPECT_EQ(PixelAsShown(x, 297), start) << "bar at x " << x;
    }
}

TEST_F(Window, HighContrastTakesTheSystemColours) {
    bool highContrast = true;
    const OverrideCall<BOOL(UINT, UINT, PVOID, UINT)> contrast(
        UiCalls().SystemParametersInfoW, [&](UINT action, UINT size, PVOID data, UINT flags) -> BOOL {
            if (action != SPI_GETHIGHCONTRAST) return ::SystemParametersInfoW(action, size, data, flags);
            auto* answer = static_cast<HIGHCONTRASTW*>(data);
            if (size != 16 || answer->cbSize != 16) return FALSE;
            answer->dwFlags = highContrast ? HCF_HIGHCONTRASTON : 0;
            return TRUE;
        });
    Open();
    ::SendMessageW(ui_.mainWindow, WM_SETTINGCHANGE, 0, 0);
    const COLORREF window = ::GetSysColor(COLOR_WINDOW);
    const COLORREF windowText = ::GetSysColor(COLOR_WINDOWTEXT);
    EXPECT_EQ(Pixel(4, 4), window) << "page";
    EXPECT_EQ(Pixel(40, 220), window) << "card";
    EXPECT_EQ(Pixel(32, 280), windowText) << "card outline";
    EXPECT_EQ(Pixel(424 + 8, 430 + 20), ::GetSysColor(COLOR_HIGHLIGHT)) << "primary button";
    EXPECT_EQ(TextColourOf(ui_.noteLabel), windowText);
    ui_.screen = Screen::Failed;
    RefreshScreen();
    EXPECT_EQ(TextColourOf(ui_.bodyLabel), windowText) << "the error text too";
    ::SendMessageW(ui_.primaryButton, BM_SETSTATE, TRUE, 0);
    EXPECT_EQ(Pixel(424 + 8, 430 + 20), RGB(0, 84, 139)) << "the pressed fill is fixed";
    ::SendMessageW(ui_.primaryButton, BM_SETSTATE, FALSE, 0);
    ui_.screen = Screen::Launching;
    RefreshScreen();
    EXPECT_EQ(Pixel(424 + 8, 430 + 20), ::GetSysColor(COLOR_BTNFACE)) << "disabled primary";

    // Switched off while the window is open.
    highContrast = false;
    ::SendMessageW(ui_.mainWindow, WM_SETTINGCHANGE, 0, 0);
    EXPECT_EQ(Pixel(4, 4), RGB(245, 248, 252));
}

TEST_F(Window, FailedQueryKeepsTheDefaultPalette) {
    const OverrideCall<BOOL(UINT, UINT, PVOID, UINT)> contrast(
        UiCalls().SystemParametersInfoW, [](UINT action, UINT size, PVOID data, UINT flags) -> BOOL {
            if (action != SPI_GETHIGHCONTRAST) return ::SystemParametersInfoW(action, size, data, flags);
            static_cast<HIGHCONTRASTW*>(data)->dwFlags = HCF_HIGHCONTRASTON;
            return FALSE;
        });
    LoadPalette();
    EXPECT_EQ(ui_.palette.background, RGB(245, 248, 252));
    EXPECT_EQ(ui_.palette.accent, RGB(0, 106, 171));
}

// --- the window procedure and the message loop ---------------------------------

TEST_F(Window, TheDefaultButtonAndTheBackground) {
    Open();
    EXPECT_EQ(::SendMessageW(ui_.mainWindow, DM_GETDEFID, 0, 0), MAKELRESULT(IDC_PRIMARY, DC_HASDEFID));
    EXPECT_EQ(::SendMessageW(ui_.mainWindow, WM_ERASEBKGND, 0, 0), 1);
    EXPECT_EQ(::GetWindowLongPtrW(ui_.mainWindow, GWL_EXSTYLE) & WS_EX_CONTROLPARENT, WS_EX_CONTROLPARENT);
    EXPECT_EQ(TextOf(ui_.mainWindow), L"Установка Pelorin");
    EXPECT_EQ(::GetDlgCtrlID(ui_.primaryButton), 200);
    EXPECT_EQ(::GetDlgCtrlID(ui_.closeButton), 201);
    EXPECT_EQ(::GetDlgCtrlID(ui_.desktopShortcutCheck), 202);
    EXPECT_EQ(::GetFocus(), ui_.primaryButton);
    EXPECT_EQ(TextOf(ui_.progressBar), L"Ход операции");
    EXPECT_EQ(::SendMessageW(ui_.desktopShortcutCheck, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_NE(::SendMessageW(ui_.iconStatic, STM_GETICON, 0, 0), 0) << "the application icon";
    Close();
    Open(true);
    EXPECT_EQ(TextOf(ui_.mainWindow), L"Удаление Pelorin");
}

TEST_F(Window, AnInstallThroughTheRealQueue) {
    Open();
    ::SendMessageW(ui_.desktopShortcutCheck, BM_SETCHECK, BST_UNCHECKED, 0);
    operation_ = [](std::atomic<bool>&, const ProgressFunction& progress) {
        ReportProgress(progress, Stage::Preparing, 0, 0, true);
        ReportProgress(progress, Stage::Downloading, 33'554'432, 67'290'826, true);
        ReportProgress(progress, Stage::Finalizing, 0, 0, false);
        ReportProgress(progress, Stage::Completing, 0, 0, false);
        OperationResult result;
        result.installPath = L"C:\\Users\\u\\AppData\\Local\\Programs\\Pelorin\\0.5.0";
        return result;
    };
    ::SendMessageW(ui_.primaryButton, BM_CLICK, 0, 0);
    EXPECT_EQ(ui_.screen, Screen::Running);
    ASSERT_TRUE(PumpUntil([&] { return ui_.screen == Screen::Completed; }));
    EXPECT_EQ(Calls(), std::vector<std::string>{"install"}) << "the unticked box";
    EXPECT_FALSE(ui_.worker.joinable());
    EXPECT_EQ(TextOf(ui_.titleLabel), L"Pelorin готов к запуску");
    EXPECT_EQ(TextOf(ui_.pathLabel), L"C:\\Users\\u\\AppData\\Local\\Programs\\Pelorin\\0.5.0");
    EXPECT_EQ(::SendMessageW(ui_.progressBar, PBM_GETPOS, 0, 0), 1000);
    EXPECT_EQ(::GetFocus(), ui_.primaryButton);

    // "Открыть Pelorin": the launch succeeds and the window closes.
    ::SendMessageW(ui_.primaryButton, BM_CLICK, 0, 0);
    EXPECT_EQ(ui_.screen, Screen::Launching);
    ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(ui_.mainWindow); }));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"install", "launch"}));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(Window, TheCloseBoxAsksWhileAnOperationCanBeCancelled) {
    Open();
    operation_ = [](std::atomic<bool>& cancel, const ProgressFunction& progress) {
        ReportProgress(progress, Stage::Downloading, 0, 100, true);
        while (!cancel.load()) std::this_thread::sleep_for(1ms);
        return FailureResult(FailureCode::Cancelled);
    };
    ::SendMessageW(ui_.primaryButton, BM_CLICK, 0, 0);
    boxAnswer_ = IDNO;
    ::SendMessageW(ui_.mainWindow, WM_CLOSE, 0, 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, L"Отменить текущую операцию и закрыть установщик?");
    EXPECT_TRUE(boxes_[0].owned) << "owned by the window";
    EXPECT_TRUE(::IsWindow(ui_.mainWindow));
    boxAnswer_ = IDYES;
    ::SendMessageW(ui_.mainWindow, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(ui_.mainWindow); })) << "closed once cancelled";
    EXPECT_EQ(ui_.screen, Screen::Cancelled);
}

// Real key presses, as the keyboard delivers them to the focused window.
void PressKey(WORD key) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = key;
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, input, sizeof(INPUT));
}

class Keys : public Window {
protected:
    void SetUp() override {
        Open();
        ::SetForegroundWindow(ui_.mainWindow);
        Pump();
        if (::GetForegroundWindow() != ui_.mainWindow) {
            GTEST_SKIP() << "the window could not become the foreground window, so no key reaches it";
        }
    }
};

TEST_F(Keys, EnterOnTheCheckBoxStartsThePrimaryAction) {
    ::SetFocus(ui_.desktopShortcutCheck);
    PressKey(VK_RETURN);
    ASSERT_TRUE(PumpUntil([&] { return ui_.screen == Screen::Completed; }));
    EXPECT_EQ(Calls(), std::vector<std::string>{"install desktop"});
    EXPECT_EQ(::SendMessageW(ui_.desktopShortcutCheck, BM_GETCHECK, 0, 0), BST_CHECKED) << "not toggled";
}

TEST_F(Keys, EnterOnTheCloseButtonPressesIt) {
    ::SetFocus(ui_.closeButton);
    PressKey(VK_RETURN);
    ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(ui_.mainWindow); }));
    EXPECT_TRUE(Calls().empty());
}

TEST_F(Keys, EnterWithoutAnUsableButtonDoesNothing) {
    ui_.screen = Screen::Launching;
    RefreshScreen();
    ::SetFocus(ui_.desktopShortcutCheck);
    PressKey(VK_RETURN);
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(ui_.screen, Screen::Launching);
}

TEST_F(Keys, EscapeWhileRunningOnlyTellsToWaitAndOnceFinishedCloses) {
    operation_ = [](std::atomic<bool>& cancel, const ProgressFunction& progress) {
        ReportProgress(progress, Stage::Finalizing, 0, 0, false);
        while (!cancel.load()) std::this_thread::sleep_for(1ms);
        return OperationResult{};
    };
    ::SendMessageW(ui_.primaryButton, BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !ui_.cancellable; }));
    ::SetFocus(ui_.mainWindow);  // the close button is disabled now
    PressKey(VK_ESCAPE);
    ASSERT_TRUE(PumpUntil([&] { return !boxes_.empty(); }));
    EXPECT_EQ(boxes_[0].text, L"Завершаем изменения в папке приложения. Дождитесь окончания операции.");
    EXPECT_EQ(boxes_[0].type, static_cast<UINT>(MB_ICONINFORMATION));
    ui_.cancelRequested = true;  // lets the fake operation end
    ASSERT_TRUE(PumpUntil([&] { return ui_.screen == Screen::Completed; }));
    PressKey(VK_ESCAPE);
    ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(ui_.mainWindow); }));
    EXPECT_EQ(boxes_.size(), 1u);
}

// --- the end of the run ---------------------------------------------------------------

TEST_F(Window, TheWorkerIsStoppedBeforeTheFontsAreDeleted) {
    Open();
    std::atomic<bool> fontsWereThere{false};
    std::atomic<bool> finished{false};
    operation_ = [&](std::atomic<bool>& cancel, const ProgressFunction&) {
        while (!cancel.load()) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);
        fontsWereThere = Ui().bodyFont != nullptr && Ui().backgroundBrush != nullptr;
        finished = true;
        return FailureResult(FailureCode::Cancelled);
    };
    ::SendMessageW(ui_.primaryButton, BM_CLICK, 0, 0);
    ASSERT_TRUE(ui_.worker.joinable());
    ::DestroyWindow(ui_.mainWindow);
    ReleaseWindowResources();
    EXPECT_TRUE(finished.load());
    EXPECT_TRUE(fontsWereThere.load());
    EXPECT_TRUE(ui_.cancelRequested.load());
    EXPECT_EQ(ui_.bodyFont, nullptr);
    EXPECT_EQ(ui_.appIcon, nullptr);
    EXPECT_EQ(ui_.cardBrush, nullptr);
}

}  // namespace
}  // namespace pelorin::setup::testing
