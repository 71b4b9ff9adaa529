#include "ui/window.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "ui/screens.h"
#include "ui/ui_calls.h"
#include "ui/ui_state.h"

namespace pelorin::setup {
namespace {

constexpr DWORD LabelStyle = WS_CHILD | WS_VISIBLE | SS_NOPREFIX;
constexpr DWORD ButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
constexpr UINT ButtonTextFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
static_assert(ButtonTextFormat == 0x825);

// Design units (1/96 inch) to pixels.
int P(int units, int dpi) {
    return ::MulDiv(units, dpi, 96);
}

// A vertical design value of the upper part, times the layout scale.
int L(int units, double scale) {
    return static_cast<int>(std::lround(scale * units));
}

HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int id) {
    return ::CreateWindowExW(0, className, text, style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Ui().instance, nullptr);
}

void CreateControls(HWND window) {
    UiState& ui = Ui();
    ui.iconStatic = CreateControl(window, L"STATIC", nullptr, WS_CHILD | WS_VISIBLE | SS_ICON, 0);
    ui.brandLabel = CreateControl(window, L"STATIC", L"Pelorin", LabelStyle, 0);
    ui.subtitleLabel = CreateControl(window, L"STATIC", L"", LabelStyle, 0);
    ui.titleLabel = CreateControl(window, L"STATIC", L"", LabelStyle, 0);
    ui.bodyLabel = CreateControl(window, L"STATIC", L"", LabelStyle, 0);
    ui.cardTitleLabel = CreateControl(window, L"STATIC", L"", LabelStyle, 0);
    ui.cardTextLabel = CreateControl(window, L"STATIC", L"", LabelStyle, 0);
    ui.pathLabel = CreateControl(window, L"STATIC", L"", LabelStyle | SS_PATHELLIPSIS, 0);
    ui.noteLabel = CreateControl(window, L"STATIC", L"", LabelStyle, 0);
    ui.footerLabel = CreateControl(window, L"STATIC", L"", LabelStyle, 0);
    ui.progressBar = CreateControl(window, PROGRESS_CLASSW, L"Ход операции", WS_CHILD | PBS_SMOOTH, 0);
    ui.desktopShortcutCheck = CreateControl(window, L"BUTTON", L"Создать ярлык на рабочем столе",
                                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                                            IDC_DESKTOP_SHORTCUT);
    ui.closeButton = CreateControl(window, L"BUTTON", L"Закрыть", ButtonStyle, IDC_CLOSE);
    ui.primaryButton = CreateControl(window, L"BUTTON", L"Установить Pelorin", ButtonStyle, IDC_PRIMARY);
    if (ui.progressBar != nullptr) {
        ::SendMessageW(ui.progressBar, PBM_SETRANGE32, 0, 1000);
    }
    if (ui.desktopShortcutCheck != nullptr) {
        ::SendMessageW(ui.desktopShortcutCheck, BM_SETCHECK, BST_CHECKED, 0);
    }
}

void Move(HWND control, const ControlBox& box) {
    if (control != nullptr) {
        ::MoveWindow(control, box.x, box.y, box.width, box.height, TRUE);
    }
}

void DeleteFont(HFONT& font) {
    if (font != nullptr) {
        ::DeleteObject(font);
        font = nullptr;
    }
}

void SetFont(HWND control, HFONT font) {
    if (control != nullptr) {
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

// GDI objects selected into a device context for a scope.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(object != nullptr ? ::SelectObject(dc, object) : nullptr) {}
    ~SelectedObject() {
        if (previous_ != nullptr) {
            ::SelectObject(dc_, previous_);
        }
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// A GDI object owned for a scope.
class GdiObject {
public:
    explicit GdiObject(HGDIOBJ object) : object_(object) {}
    ~GdiObject() {
        if (object_ != nullptr) {
            ::DeleteObject(object_);
        }
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    HGDIOBJ Get() const { return object_; }

private:
    HGDIOBJ object_;
};

void Paint(HWND window) {
    UiState& ui = Ui();
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window, &paint);
    if (dc == nullptr) {
        return;
    }
    RECT client;
    ::GetClientRect(window, &client);
    if (ui.backgroundBrush != nullptr) {
        ::FillRect(dc, &client, ui.backgroundBrush);
    }
    const LayoutPlan plan = PlanLayout(client.right, client.bottom, ui.dpi, ui.scale, ui.screen == Screen::Running);
    {
        const GdiObject pen(::CreatePen(PS_SOLID, P(1, ui.dpi), ui.palette.border));
        const SelectedObject selectedPen(dc, pen.Get());
        const SelectedObject selectedBrush(dc, ui.cardBrush);
        const int corner = P(16, ui.dpi);
        ::RoundRect(dc, plan.card.left, plan.card.top, plan.card.right, plan.card.bottom, corner, corner);
        ::MoveToEx(dc, 0, plan.separatorY, nullptr);
        ::LineTo(dc, client.right, plan.separatorY);
    }
    ::EndPaint(window, &paint);
}

void DrawButton(const DRAWITEMSTRUCT& item) {
    UiState& ui = Ui();
    const Palette& palette = ui.palette;
    const bool primary = item.CtlID == IDC_PRIMARY;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    COLORREF fill;
    if ((item.itemState & ODS_SELECTED) != 0 && !disabled) {
        fill = primary ? PrimaryPressedFill : ClosePressedFill;
    } else if (disabled) {
        fill = palette.disabledFill;
    } else {
        fill = primary ? palette.accent : palette.card;
    }
    const COLORREF outline = primary && !disabled ? fill : palette.border;
    {
        const GdiObject brush(::CreateSolidBrush(fill));
        const GdiObject pen(::CreatePen(PS_SOLID, P(1, ui.dpi), outline));
        const SelectedObject selectedBrush(item.hDC, brush.Get());
        const SelectedObject selectedPen(item.hDC, pen.Get());
        const int corner = P(12, ui.dpi);
        ::RoundRect(item.hDC, item.rcItem.left, item.rcItem.top, item.rcItem.right, item.rcItem.bottom, corner,
                    corner);
    }
    ::SetBkMode(item.hDC, TRANSPARENT);
    ::SetTextColor(item.hDC, disabled ? palette.disabledText : primary ? palette.accentText : palette.text);
    const SelectedObject font(item.hDC, ui.buttonFont);
    wchar_t text[128] = {};
    const int length = ::GetWindowTextW(item.hwndItem, text, 128);
    RECT area = item.rcItem;
    ::DrawTextW(item.hDC, text, length, &area, ButtonTextFormat);
    if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) {
        RECT focus = item.rcItem;
        const int inset = P(5, ui.dpi);
        ::InflateRect(&focus, -inset, -inset);
        ::DrawFocusRect(item.hDC, &focus);
    }
}

LRESULT ControlColours(HDC dc, HWND control) {
    UiState& ui = Ui();
    const bool inCard = control == ui.cardTitleLabel || control == ui.cardTextLabel || control == ui.pathLabel;
    COLORREF text = ui.palette.text;
    if (control == ui.bodyLabel && ui.screen == Screen::Failed) {
        text = ui.palette.error;
    } else if (control == ui.subtitleLabel || control == ui.bodyLabel || control == ui.cardTextLabel ||
               control == ui.pathLabel || control == ui.noteLabel || control == ui.footerLabel) {
        text = ui.palette.secondaryText;
    }
    ::SetTextColor(dc, text);
    ::SetBkColor(dc, inCard ? ui.palette.card : ui.palette.background);
    return reinterpret_cast<LRESULT>(inCard ? ui.cardBrush : ui.backgroundBrush);
}

void OnDpiChanged(HWND window, WPARAM wParam, const RECT& suggested) {
    UiState& ui = Ui();
    ui.dpi = HIWORD(wParam);
    RecreateFontsAndIcon();
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    RECT work = suggested;
    if (::GetMonitorInfoW(::MonitorFromRect(&suggested, MONITOR_DEFAULTTONEAREST), &monitor)) {
        work = monitor.rcWork;
    }
    const int width = std::min(suggested.right - suggested.left, work.right - work.left);
    const int height = std::min(suggested.bottom - suggested.top, work.bottom - work.top);
    const int x = suggested.left < work.left ? work.left : std::min<int>(suggested.left, work.right - width);
    const int y = suggested.top < work.top ? work.top : std::min<int>(suggested.top, work.bottom - height);
    ::SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    LayoutControls();
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    UiState& ui = Ui();
    switch (message) {
        case WM_CREATE: {
            ui.mainWindow = window;
            const UINT dpi = ::GetDpiForWindow(window);
            if (dpi != 0) {
                ui.dpi = static_cast<int>(dpi);
            }
            CreateControls(window);
            RecreateFontsAndIcon();
            RefreshScreen();
            return 0;
        }
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            LayoutControls();
            return 0;
        case WM_PAINT:
            Paint(window);
            return 0;
        case WM_CLOSE:
            Runner().RequestClose();
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_SETTINGCHANGE:
            LoadPalette();
            ::InvalidateRect(window, nullptr, TRUE);
            return 0;
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item != nullptr && (item->CtlID == IDC_PRIMARY || item->CtlID == IDC_CLOSE)) {
                DrawButton(*item);
            }
            return 1;
        }
        case WM_COMMAND:
            if (HIWORD(wParam) == 0) {
                if (LOWORD(wParam) == IDC_PRIMARY) {
                    Runner().BeginOperation();
                } else if (LOWORD(wParam) == IDC_CLOSE) {
                    Runner().OnCloseCommand();
                }
            }
            return 0;
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORSTATIC:
            return ControlColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_DPICHANGED:
            OnDpiChanged(window, wParam, *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case DM_GETDEFID:
            return MAKELRESULT(IDC_PRIMARY, DC_HASDEFID);
        case WM_SETUP_PROGRESS:
            Runner().OnSetupProgress(std::unique_ptr<Progress>(reinterpret_cast<Progress*>(lParam)));
            return 0;
        case WM_SETUP_RESULT:
            Runner().OnSetupResult(std::unique_ptr<OperationResult>(reinterpret_cast<OperationResult*>(lParam)));
            return 0;
        case WM_LAUNCH_RESULT:
            Runner().OnLaunchResult(std::unique_ptr<OperationResult>(reinterpret_cast<OperationResult*>(lParam)));
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

// The runner's view of the window.
class WindowView : public RunnerView {
public:
    void RefreshScreen() override { pelorin::setup::RefreshScreen(); }
    void ShowProgress(const Progress& report) override { pelorin::setup::ShowProgress(report); }
    void SetProgressMarquee(bool on) override { pelorin::setup::SetProgressMarquee(on); }
    bool DesktopShortcutChecked() override {
        const HWND check = Ui().desktopShortcutCheck;
        return check != nullptr && ::SendMessageW(check, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    void FocusPrimaryButton() override { ::SetFocus(Ui().primaryButton); }
    void FocusCloseButton() override { ::SetFocus(Ui().closeButton); }
    void DestroyMainWindow() override {
        if (Ui().mainWindow != nullptr) {
            ::DestroyWindow(Ui().mainWindow);
        }
    }
    int ShowMessageBox(const wchar_t* text, const wchar_t* caption, unsigned int type) override {
        return UiCalls().MessageBoxW(Ui().mainWindow, text, caption, type);
    }
    PostToWindow WindowPoster() override {
        return [window = Ui().mainWindow](std::uint32_t message, void* record) {
            return UiCalls().PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(record)) != FALSE;
        };
    }
};

}  // namespace

UiCallTable& UiCalls() noexcept {
    static UiCallTable table;
    return table;
}

UiState& Ui() noexcept {
    static UiState state;
    return state;
}

RunnerServices& UiServices() {
    static RunnerServices services = EngineServices();
    return services;
}

OperationRunner& Runner() {
    static WindowView view;
    static OperationRunner runner(Ui(), view, UiServices());
    return runner;
}

LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return HandleMessage(window, message, wParam, lParam);
    } catch (...) {
        // Nothing may unwind through the window system; the message counts as handled.
        return 0;
    }
}

double LayoutScale(int clientWidth, int clientHeight, int dpi) {
    const int width = ::MulDiv(clientWidth, 96, dpi);
    const int height = ::MulDiv(clientHeight, 96, dpi);
    double a = width / 640.0;
    double b = (height - 66) / 414.0;
    a = std::max(a, 0.4);
    b = std::max(b, 0.4);
    return std::min({a, b, 1.0});
}

LayoutPlan PlanLayout(int clientWidth, int clientHeight, int dpi, double scale, bool running) {
    const int W = ::MulDiv(clientWidth, 96, dpi);
    const int H = ::MulDiv(clientHeight, 96, dpi);
    const auto l = [scale](int units) { return L(units, scale); };
    const auto box = [dpi](int x, int y, int width, int height) {
        return ControlBox{P(x, dpi), P(y, dpi), P(width, dpi), P(height, dpi)};
    };
    const int T = l(214);
    LayoutPlan plan;
    plan.iconStatic = box(32, l(28), l(44), l(44));
    plan.brandLabel = box(90, l(26), W - 122, l(30));
    plan.subtitleLabel = box(91, l(57), W - 123, l(20));
    plan.titleLabel = box(32, l(104), W - 64, l(37));
    plan.bodyLabel = box(33, l(150), W - 66, l(56));
    plan.cardTitleLabel = box(52, T + l(18), W - 104, l(23));
    plan.cardTextLabel = box(52, T + l(47), W - 104, l(25));
    plan.progressBar = box(52, T + l(78), W - 104, l(10) < 5 ? 4 : l(10));
    plan.pathLabel = box(52, T + l(99), W - 104, l(20));
    plan.desktopShortcutCheck = box(32, l(355), W - 64, l(26));
    plan.noteLabel = box(33, l(387), W - 66, l(20));
    plan.footerLabel = box(32, H - 39, W <= 470 ? 80 : W - 390, 20);
    plan.primaryButton = box(W - 216, H - 50, 184, 40);
    plan.closeButton = box(running ? W - 152 : W - 348, H - 50, 120, 40);
    plan.footerVisible = W >= 520;
    plan.card = RECT{P(32, dpi), P(T, dpi), clientWidth - P(32, dpi), P(T + l(126), dpi)};
    plan.separatorY = clientHeight - P(66, dpi);
    return plan;
}

void LayoutControls() {
    UiState& ui = Ui();
    if (ui.mainWindow == nullptr) {
        return;
    }
    RECT client;
    if (!::GetClientRect(ui.mainWindow, &client)) {
        return;
    }
    const double scale = LayoutScale(client.right, client.bottom, ui.dpi);
    if (std::fabs(ui.scale - scale) > 0.001) {
        ui.scale = scale;
        RecreateFontsAndIcon();
    }
    const LayoutPlan plan =
        PlanLayout(client.right, client.bottom, ui.dpi, ui.scale, ui.screen == Screen::Running);
    Move(ui.iconStatic, plan.iconStatic);
    Move(ui.brandLabel, plan.brandLabel);
    Move(ui.subtitleLabel, plan.subtitleLabel);
    Move(ui.titleLabel, plan.titleLabel);
    Move(ui.bodyLabel, plan.bodyLabel);
    Move(ui.cardTitleLabel, plan.cardTitleLabel);
    Move(ui.cardTextLabel, plan.cardTextLabel);
    Move(ui.progressBar, plan.progressBar);
    Move(ui.pathLabel, plan.pathLabel);
    Move(ui.desktopShortcutCheck, plan.desktopShortcutCheck);
    Move(ui.noteLabel, plan.noteLabel);
    Move(ui.footerLabel, plan.footerLabel);
    Move(ui.primaryButton, plan.primaryButton);
    Move(ui.closeButton, plan.closeButton);
    if (ui.footerLabel != nullptr) {
        ::ShowWindow(ui.footerLabel, plan.footerVisible ? SW_SHOW : SW_HIDE);
    }
    // The whole window with its controls: a moved control may otherwise keep
    // the bits copied from its old place.
    ::RedrawWindow(ui.mainWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void LoadPalette() {
    UiState& ui = Ui();
    ui.palette = Palette{};
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof(contrast);
    static_assert(sizeof(HIGHCONTRASTW) == 16);
    if (UiCalls().SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
        (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0) {
        Palette& p = ui.palette;
        p.background = ::GetSysColor(COLOR_WINDOW);
        p.card = ::GetSysColor(COLOR_WINDOW);
        p.text = ::GetSysColor(COLOR_WINDOWTEXT);
        p.secondaryText = ::GetSysColor(COLOR_WINDOWTEXT);
        p.accent = ::GetSysColor(COLOR_HIGHLIGHT);
        p.accentText = ::GetSysColor(COLOR_HIGHLIGHTTEXT);
        p.border = ::GetSysColor(COLOR_WINDOWTEXT);
        p.error = p.text;
        p.disabledFill = ::GetSysColor(COLOR_BTNFACE);
        p.disabledText = ::GetSysColor(COLOR_GRAYTEXT);
    }
    if (ui.backgroundBrush != nullptr) {
        ::DeleteObject(ui.backgroundBrush);
    }
    if (ui.cardBrush != nullptr) {
        ::DeleteObject(ui.cardBrush);
    }
    ui.backgroundBrush = ::CreateSolidBrush(ui.palette.background);
    ui.cardBrush = ::CreateSolidBrush(ui.palette.card);
}

HFONT CreateUiFont(int size, int weight, bool scaled) {
    const UiState& ui = Ui();
    const int pixels = scaled ? static_cast<int>(std::lround(size * ui.scale)) : size;
    return ::CreateFontW(-P(pixels, ui.dpi), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                         L"Segoe UI");
}

void DeleteFonts() {
    UiState& ui = Ui();
    for (HFONT* font : {&ui.bodyFont, &ui.smallFont, &ui.brandFont, &ui.titleFont, &ui.cardTitleFont, &ui.buttonFont}) {
        DeleteFont(*font);
    }
}

void RecreateFontsAndIcon() {
    UiState& ui = Ui();
    DeleteFonts();
    ui.bodyFont = CreateUiFont(14, 400, true);
    ui.smallFont = CreateUiFont(12, 400, true);
    ui.brandFont = CreateUiFont(21, 600, true);
    ui.titleFont = CreateUiFont(26, 600, true);
    ui.cardTitleFont = CreateUiFont(14, 600, true);
    ui.buttonFont = CreateUiFont(14, 600, false);

    for (HWND control : {ui.bodyLabel, ui.cardTextLabel, ui.desktopShortcutCheck}) SetFont(control, ui.bodyFont);
    for (HWND control : {ui.primaryButton, ui.closeButton}) SetFont(control, ui.buttonFont);
    for (HWND control : {ui.subtitleLabel, ui.pathLabel, ui.noteLabel, ui.footerLabel}) SetFont(control, ui.smallFont);
    SetFont(ui.brandLabel, ui.brandFont);
    SetFont(ui.titleLabel, ui.titleFont);
    SetFont(ui.cardTitleLabel, ui.cardTitleFont);

    if (ui.appIcon != nullptr) {
        ::DestroyIcon(ui.appIcon);
        ui.appIcon = nullptr;
    }
    const int size = P(L(44, ui.scale), ui.dpi);
    ui.appIcon = static_cast<HICON>(
        ::LoadImageW(ui.instance, MAKEINTRESOURCEW(AppIconResourceId), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    if (ui.iconStatic != nullptr) {
        ::SendMessageW(ui.iconStatic, STM_SETICON, reinterpret_cast<WPARAM>(ui.appIcon), 0);
    }
    if (ui.mainWindow != nullptr) {
        ::SendMessageW(ui.mainWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(ui.appIcon));
        ::SendMessageW(ui.mainWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(ui.appIcon));
    }
}

}  // namespace pelorin::setup
