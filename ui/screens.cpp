#include "ui/screens.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "engine/endpoint.h"
#include "engine/product.h"
#include "ui/window.h"
#include "ui/ui_calls.h"
#include "ui/ui_state.h"

namespace pelorin::setup {
namespace {

constexpr std::wstring_view DefaultPathText = L"Папка текущего пользователя";
constexpr double Mebibyte = 1048576.0;

struct ModeText {
    std::wstring_view install;
    std::wstring_view uninstall;

    std::wstring_view For(bool uninstallMode) const noexcept { return uninstallMode ? uninstall : install; }
};

// Ready
constexpr ModeText ReadyTitle{L"Установим Pelorin на компьютер", L"Удалить Pelorin с компьютера?"};
constexpr ModeText ReadyBody{
    L"Установщик скачает приложение, проверит файлы\r\nи подготовит Pelorin к запуску.",
    L"Файлы приложения и ярлыки будут удалены.\r\nАккаунт, подписка и устройства останутся активными."};
constexpr ModeText ReadyCardTitle{L"Готово к установке", L"Сохранённый вход останется на компьютере"};
constexpr ModeText ReadyCardText{L"Для текущего пользователя · без прав администратора",
                                 L"Повторная установка сможет использовать этот вход."};
constexpr ModeText ReadyPrimary{L"Установить Pelorin", L"Удалить приложение"};
// Running
constexpr ModeText RunningTitle{L"Устанавливаем Pelorin", L"Удаляем Pelorin"};
constexpr ModeText RunningBody{
    L"Загрузка → проверка → установка.\r\nПриложение откроется только после вашего нажатия.",
    L"Удаляем файлы приложения и ярлыки.\r\nДанные входа, подписка и устройства сохраняются."};
constexpr std::wstring_view WaitNote = L"Завершаем изменения. Дождитесь окончания операции.";
// Launching (install mode only)
constexpr std::wstring_view LaunchingTitle = L"Открываем Pelorin";
constexpr std::wstring_view LaunchingBody =
    L"Проверяем установленные файлы перед запуском.\r\nОкно приложения откроется автоматически.";
constexpr std::wstring_view LaunchingCardTitle = L"Готовим приложение к запуску";
constexpr std::wstring_view LaunchingCardText = L"Повторно нажимать на ярлык не нужно.";
constexpr std::wstring_view LaunchingPrimary = L"Запускаем…";
// Failed
constexpr ModeText FailedTitle{L"Не удалось завершить установку", L"Не удалось завершить удаление"};
constexpr std::wstring_view FailedCardTitle = L"Операция не завершена";
constexpr std::wstring_view FailedVerificationCardText = L"Если удалить приложение не удаётся, обратитесь в поддержку.";
constexpr std::wstring_view FailedRetryCardText = L"После устранения причины можно повторить попытку.";
constexpr std::wstring_view FailedFinalCardText = L"Закройте установщик и проверьте условия установки.";
constexpr std::wstring_view RetryPrimary = L"Повторить";
constexpr std::wstring_view ClosePrimary = L"Закрыть";
// Cancelled
constexpr ModeText CancelledTitle{L"Установка отменена", L"Удаление отменено"};
constexpr std::wstring_view CancelledBody =
    L"Вы можете начать заново, когда будет удобно.\r\nДанные входа и подписки не удаляются.";
constexpr std::wstring_view CancelledCardTitle = L"Операция остановлена";
constexpr std::wstring_view CancelledCardText = L"Нажмите «Повторить», чтобы начать снова.";
// Completed
constexpr ModeText CompletedTitle{L"Pelorin готов к запуску", L"Pelorin удалён"};
constexpr ModeText CompletedBody{
    L"Приложение установлено. Войдите в аккаунт\r\nи выберите локацию для подключения к VPN.",
    L"Приложение удалено. Подписка и устройства остаются\r\nв аккаунте; сохранённый вход можно использовать снова."};
constexpr ModeText CompletedCardTitle{L"Установка завершена", L"Удаление завершено"};
constexpr std::wstring_view ShortcutCardText = L"Ярлык Pelorin доступен в меню «Пуск».";
constexpr std::wstring_view NoDesktopShortcutCardText = L"Ярлык на рабочем столе не создан; Pelorin есть в меню «Пуск».";
constexpr std::wstring_view SubscriptionCardText = L"Управлять подпиской можно на ";
constexpr ModeText CompletedPrimary{L"Открыть Pelorin", L"Закрыть"};
// Every screen
constexpr std::wstring_view SubtitlePrefix = L"Для Windows 11 · x64 · ";
constexpr std::wstring_view CancellingClose = L"Отменяем…";
constexpr std::wstring_view CancelClose = L"Отменить";
constexpr ModeText ModeNote{L"Для подключения к VPN потребуется разрешение Windows.",
                            L"Удаление приложения не отменяет подписку."};
// Progress card
constexpr std::wstring_view CancellingCardTitle = L"Отменяем операцию…";
constexpr std::wstring_view CancellableCardText = L"Операцию можно отменить.";
constexpr std::wstring_view WaitCardText = L"Не закрывайте установщик до завершения.";

constexpr std::wstring_view StageLabels[] = {
    L"Готовим установку",
    L"Скачиваем приложение",
    L"Проверяем целостность пакета",
    L"Устанавливаем файлы приложения",
    L"Завершаем установку и создаём ярлыки",
    L"Удаляем приложение и ярлыки",
    L"Завершаем операцию",
};

void Show(HWND control, bool visible) {
    if (control != nullptr) {
        ::ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
    }
}

void Enable(HWND control, bool enabled) {
    if (control != nullptr) {
        ::EnableWindow(control, enabled ? TRUE : FALSE);
    }
}

std::wstring_view FailedCardText(const UiState& ui) noexcept {
    if (ui.lastResult.code == FailureCode::VerificationFailed) {
        return FailedVerificationCardText;
    }
    return ui.canRetry ? FailedRetryCardText : FailedFinalCardText;
}

// The texts of the current screen: title, body, card title, card text and
// primary button, in this order.
void WriteScreenTexts(UiState& ui) {
    const bool uninstall = ui.uninstallMode;
    switch (ui.screen) {
        case Screen::Ready:
            SetTextIfChanged(ui.titleLabel, ReadyTitle.For(uninstall));
            SetTextIfChanged(ui.bodyLabel, ReadyBody.For(uninstall));
            SetTextIfChanged(ui.cardTitleLabel, ReadyCardTitle.For(uninstall));
            SetTextIfChanged(ui.cardTextLabel, ReadyCardText.For(uninstall));
            SetTextIfChanged(ui.primaryButton, ReadyPrimary.For(uninstall));
            break;
        case Screen::Running:
            SetTextIfChanged(ui.titleLabel, RunningTitle.For(uninstall));
            SetTextIfChanged(ui.bodyLabel, RunningBody.For(uninstall));
            break;
        case Screen::Launching:
            SetTextIfChanged(ui.titleLabel, LaunchingTitle);
            SetTextIfChanged(ui.bodyLabel, LaunchingBody);
            SetTextIfChanged(ui.cardTitleLabel, LaunchingCardTitle);
            SetTextIfChanged(ui.cardTextLabel, LaunchingCardText);
            SetTextIfChanged(ui.primaryButton, LaunchingPrimary);
            SetProgressMarquee(true);
            break;
        case Screen::Failed:
            SetTextIfChanged(ui.titleLabel, FailedTitle.For(uninstall));
            SetTextIfChanged(ui.bodyLabel, FailureMessage(ui.lastResult.code));
            SetTextIfChanged(ui.cardTitleLabel, FailedCardTitle);
            SetTextIfChanged(ui.cardTextLabel, FailedCardText(ui));
            SetTextIfChanged(ui.primaryButton, ui.canRetry ? RetryPrimary : ClosePrimary);
            break;
        case Screen::Cancelled:
            SetTextIfChanged(ui.titleLabel, CancelledTitle.For(uninstall));
            SetTextIfChanged(ui.bodyLabel, CancelledBody);
            SetTextIfChanged(ui.cardTitleLabel, CancelledCardTitle);
            SetTextIfChanged(ui.cardTextLabel, CancelledCardText);
            SetTextIfChanged(ui.primaryButton, RetryPrimary);
            break;
        case Screen::Completed:
            SetTextIfChanged(ui.titleLabel, CompletedTitle.For(uninstall));
            SetTextIfChanged(ui.bodyLabel, CompletedBody.For(uninstall));
            SetTextIfChanged(ui.cardTitleLabel, CompletedCardTitle.For(uninstall));
            if (uninstall) {
                SetTextIfChanged(ui.cardTextLabel, std::wstring(SubscriptionCardText) + ProductWebHostName + L".");
            } else {
                SetTextIfChanged(ui.cardTextLabel,
                                 ui.lastResult.desktopShortcutOk ? ShortcutCardText : NoDesktopShortcutCardText);
            }
            SetTextIfChanged(ui.primaryButton, CompletedPrimary.For(uninstall));
            SetProgressMarquee(false);
            if (ui.progressBar != nullptr) {
                ::SendMessageW(ui.progressBar, PBM_SETPOS, 1000, 0);
            }
            break;
    }
}

}  // namespace

std::wstring_view ProductWebHost() noexcept {
    return ProductWebHostName;  // the build setting the Uninstall entry's address uses too
}

std::wstring_view StageLabel(Stage stage) noexcept {
    const auto index = static_cast<std::int32_t>(stage);
    if (index < 0 || index >= static_cast<std::int32_t>(std::size(StageLabels))) {
        return {};
    }
    return StageLabels[index];
}

std::wstring DownloadAmountText(std::uint64_t done, std::uint64_t total) {
    wchar_t buffer[128];
    int length = 0;
    if (total != 0) {
        length = std::swprintf(buffer, std::size(buffer), L"%.1f из %.1f МиБ", static_cast<double>(done) / Mebibyte,
                               static_cast<double>(total) / Mebibyte);
    } else {
        length = std::swprintf(buffer, std::size(buffer), L"Получено %.1f МиБ", static_cast<double>(done) / Mebibyte);
    }
    return length > 0 ? std::wstring(buffer, static_cast<std::size_t>(length)) : std::wstring();
}

int ProgressPosition(std::uint64_t done, std::uint64_t total) noexcept {
    if (total == 0) {
        return 0;
    }
    __extension__ using Wide = unsigned __int128;
    const Wide position = static_cast<Wide>(done) * 1000u / total;
    return position > 1000u ? 1000 : static_cast<int>(position);
}

void SetTextIfChanged(HWND control, std::wstring_view text) {
    if (control == nullptr) {
        return;
    }
    const int length = ::GetWindowTextLengthW(control);
    if (length >= 0 && static_cast<std::size_t>(length) == text.size()) {
        std::vector<wchar_t> current(static_cast<std::size_t>(length) + 1, L'\0');
        const int got = ::GetWindowTextW(control, current.data(), length + 1);
        if (got == length && std::wstring_view(current.data(), static_cast<std::size_t>(got)) == text) {
            return;
        }
    }
    const std::wstring terminated(text);
    UiCalls().SetWindowTextW(control, terminated.c_str());
}

void SetProgressMarquee(bool on) {
    UiState& ui = Ui();
    if (on == ui.marqueeOn) {
        return;
    }
    ui.marqueeOn = on;
    if (ui.progressBar == nullptr) {
        return;
    }
    LONG_PTR style = ::GetWindowLongPtrW(ui.progressBar, GWL_STYLE);
    style &= ~static_cast<LONG_PTR>(PBS_MARQUEE);
    if (on) {
        style |= PBS_MARQUEE;
    }
    ::SetWindowLongPtrW(ui.progressBar, GWL_STYLE, style);
    ::SendMessageW(ui.progressBar, PBM_SETMARQUEE, on ? TRUE : FALSE, 35);
    ::InvalidateRect(ui.progressBar, nullptr, TRUE);  // no marquee block left behind
}

void RefreshScreen() {
    UiState& ui = Ui();
    const Screen screen = ui.screen;
    const bool running = screen == Screen::Running;
    const bool launching = screen == Screen::Launching;

    Show(ui.desktopShortcutCheck, !ui.uninstallMode && (screen == Screen::Ready || screen == Screen::Failed ||
                                                        screen == Screen::Cancelled));
    Enable(ui.desktopShortcutCheck, !running);

    Show(ui.progressBar, running || launching || screen == Screen::Completed);

    const bool closeHidden = (screen == Screen::Failed && !ui.canRetry) ||
                             (ui.uninstallMode && (launching || screen == Screen::Completed));
    Show(ui.closeButton, !closeHidden);
    const bool cancelPending = ui.cancelRequested.load();
    Enable(ui.closeButton, running ? ui.cancellable && !cancelPending : !launching);

    Enable(ui.primaryButton, !running && !launching);
    Show(ui.primaryButton, !running);

    SetTextIfChanged(ui.pathLabel, ui.installPath.empty() ? DefaultPathText : std::wstring_view(ui.installPath));
    SetTextIfChanged(ui.footerLabel, ProductWebHostName);
    SetTextIfChanged(ui.subtitleLabel, std::wstring(SubtitlePrefix) + std::wstring(ProductVersion));
    SetTextIfChanged(ui.closeButton, running ? (cancelPending ? CancellingClose : CancelClose) : ClosePrimary);
    // The wait note replaces the mode note while a running operation can no
    // longer be cancelled; the text is chosen once so it is set at most once.
    SetTextIfChanged(ui.noteLabel, running && !ui.cancellable ? WaitNote : ModeNote.For(ui.uninstallMode));

    WriteScreenTexts(ui);
    LayoutControls();
}

void ShowProgress(const Progress& report) {
    UiState& ui = Ui();
    if (ui.screen != Screen::Running) {
        return;
    }
    if (report.cancellable != ui.cancellable) {
        ui.cancellable = report.cancellable;
        RefreshScreen();
    }
    SetTextIfChanged(ui.cardTitleLabel, ui.cancelRequested.load() && ui.cancellable ? CancellingCardTitle
                                                                                     : StageLabel(report.stage));
    if (report.stage == Stage::Downloading) {
        SetTextIfChanged(ui.cardTextLabel, DownloadAmountText(report.done, report.total));
    } else {
        SetTextIfChanged(ui.cardTextLabel, ui.cancellable ? CancellableCardText : WaitCardText);
    }
    SetProgressMarquee(report.total == 0);
    if (report.total != 0 && ui.progressBar != nullptr) {
        ::SendMessageW(ui.progressBar, PBM_SETPOS, static_cast<WPARAM>(ProgressPosition(report.done, report.total)), 0);
    }
}

}  // namespace pelorin::setup
