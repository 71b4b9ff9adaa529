// The installer window: its procedure, the child controls, their layout for
// any DPI and client size, the painting of page, card, separator and the two
// owner-drawn buttons, the palette with its high-contrast override, the fonts
// and the application icon.
#pragma once

#include <windows.h>

namespace pelorin::setup {

inline constexpr wchar_t SetupWindowClassName[] = L"Pelorin.Setup.Window";
inline constexpr int AppIconResourceId = 101;

LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A control's place in pixels.
struct ControlBox {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Where everything goes for a client area of `clientWidth` x `clientHeight`
// pixels at `dpi` and layout scale `scale`.
struct LayoutPlan {
    bool footerVisible = true;
    ControlBox iconStatic, brandLabel, subtitleLabel, titleLabel, bodyLabel, cardTitleLabel, cardTextLabel,
        progressBar, pathLabel, desktopShortcutCheck, noteLabel, footerLabel, primaryButton, closeButton;
    RECT card{};       // the painted card
    int separatorY = 0;  // the footer's separator line
};
LayoutPlan PlanLayout(int clientWidth, int clientHeight, int dpi, double scale, bool running);

// The layout scale (0.4 to 1.0) for a client area in pixels at `dpi`.
double LayoutScale(int clientWidth, int clientHeight, int dpi);

// Places every control for the current client size, DPI and screen.
void LayoutControls();

// Sets the colours (system colours when high contrast is on) and makes the
// two brushes anew.
void LoadPalette();

// Makes the six fonts and the icon for the current DPI and scale and hands
// them to the controls and the window.
void RecreateFontsAndIcon();

// Deletes the six fonts that exist.
void DeleteFonts();

// A "Segoe UI" font of `size` units (times the layout scale when `scaled`).
HFONT CreateUiFont(int size, int weight, bool scaled);

}  // namespace pelorin::setup
