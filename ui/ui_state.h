// The window-side state: one record for the whole run, created before the
// window and used only on the UI thread (the runner's cancel flag excepted).
#pragma once

#include <windows.h>

#include "ui/runner.h"

namespace pelorin::setup {

struct Palette {
    COLORREF background = RGB(245, 248, 252);
    COLORREF card = RGB(255, 255, 255);
    COLORREF text = RGB(18, 34, 54);
    COLORREF secondaryText = RGB(82, 100, 119);
    COLORREF accent = RGB(0, 106, 171);
    COLORREF accentText = RGB(255, 255, 255);
    COLORREF border = RGB(204, 218, 234);
    COLORREF error = RGB(163, 35, 48);
    COLORREF disabledFill = RGB(227, 234, 242);
    COLORREF disabledText = RGB(113, 130, 148);
};

// Fixed pressed fills of the two buttons; high contrast does not change them.
inline constexpr COLORREF PrimaryPressedFill = RGB(0, 84, 139);
inline constexpr COLORREF ClosePressedFill = RGB(234, 241, 249);

inline constexpr int IDC_PRIMARY = 200;
inline constexpr int IDC_CLOSE = 201;
inline constexpr int IDC_DESKTOP_SHORTCUT = 202;

struct UiState : RunnerState {
    // Screens.
    bool marqueeOn = false;

    // Window resources.
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    HWND iconStatic = nullptr;
    HWND brandLabel = nullptr;
    HWND subtitleLabel = nullptr;
    HWND titleLabel = nullptr;
    HWND bodyLabel = nullptr;
    HWND cardTitleLabel = nullptr;
    HWND cardTextLabel = nullptr;
    HWND pathLabel = nullptr;
    HWND noteLabel = nullptr;
    HWND footerLabel = nullptr;
    HWND progressBar = nullptr;
    HWND desktopShortcutCheck = nullptr;
    HWND closeButton = nullptr;
    HWND primaryButton = nullptr;
    HFONT bodyFont = nullptr;
    HFONT smallFont = nullptr;
    HFONT brandFont = nullptr;
    HFONT titleFont = nullptr;
    HFONT cardTitleFont = nullptr;
    HFONT buttonFont = nullptr;
    HICON appIcon = nullptr;
    HBRUSH backgroundBrush = nullptr;
    HBRUSH cardBrush = nullptr;
    int dpi = 96;
    double scale = 1.0;
    Palette palette;
};

// The one state record of the process.
UiState& Ui() noexcept;

// The engine operations, clock and thread creation the window's runner uses.
RunnerServices& UiServices();

// The runner that drives the window.
OperationRunner& Runner();

}  // namespace pelorin::setup
