// Every screen of both modes in a real window: each control's text,
// visibility and enablement read back from the window system, the progress
// card, and that unchanged texts are not set again.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/ui/window_fixture.h"
#include "ui/screens.h"

namespace pelorin::setup::testing {
namespace {

constexpr wchar_t InstallNote[] = L"Для подключения к VPN потребуется разрешение Windows.";
constexpr wchar_t UninstallNote[] = L"Удаление приложения не отменяет подписку.";
constexpr wchar_t WaitNote[] = L"Завершаем изменения. Дождитесь окончания операции.";

struct ScreenCase {
    const char* name;
    bool uninstall;
    Screen screen;
    bool canRetry;
    FailureCode code;
    bool cancellable;
    bool cancelRequested;
    bool desktopShortcutOk;
    // Expected; a null text is not written on that screen.
    const wchar_t* title;
    const wchar_t* body;
    const wchar_t* cardTitle;
    const wchar_t* cardText;
    const wchar_t* primary;
    bool primaryVisible, primaryEnabled;
    const wchar_t* close;
    bool closeVisible, closeEnabled;
    bool checkVisible, checkEnabled;
    bool barVisible;
    const wchar_t* note;
};

const std::wstring AppRunningText = L"Сначала отключите VPN и закройте Pelorin. Затем повторите операцию.";
const std::wstring VerificationText =
    L"Проверка файлов не пройдена. Если Pelorin уже установлен, удалите его через настройки Windows и установите "
    L"заново. Иначе скачайте установщик снова.";
const std::wstring RejectedText =
    L"Папка установки не прошла проверку. Обратитесь в поддержку Pelorin; не удаляйте данные аккаунта вручную.";

constexpr auto Ok = FailureCode::None;

const ScreenCase ScreenCases[] = {
    {"install ready", false, Screen::Ready, true, Ok, false, false, true,
     L"Установим Pelorin на компьютер",
     L"Установщик скачает приложение, проверит файлы\r\nи подготовит Pelorin к запуску.", L"Готово к установке",
     L"Для текущего пользователя · без прав администратора", L"Установить Pelorin", true, true, L"Закрыть", true, true,
     true, true, false, InstallNote},
    {"install running", false, Screen::Running, true, Ok, true, false, true, L"Устанавливаем Pelorin",
     L"Загрузка → проверка → установка.\r\nПриложение откроется только после вашего нажатия.", nullptr, nullptr,
     nullptr, false, false, L"Отменить", true, true, false, false, true, InstallNote},
    {"install running, cancel pending", false, Screen::Running, true, Ok, true, true, true, L"Устанавливаем Pelorin",
     nullptr, nullptr, nullptr, nullptr, false, false, L"Отменяем…", true, false, false, false, true, InstallNote},
    {"install running past the point of no return", false, Screen::Running, true, Ok, false, false, true,
     L"Устанавливаем Pelorin", nullptr, nullptr, nullptr, nullptr, false, false, L"Отменить", true, false, false,
     false, true, WaitNote},
    {"install launching", false, Screen::Launching, true, Ok, true, false, true, L"Открываем Pelorin",
     L"Проверяем установленные файлы перед запуском.\r\nОкно приложения откроется автоматически.",
     L"Готовим приложение к запуску", L"Повторно нажимать на ярлык не нужно.", L"Запускаем…", true, false,
     L"Закрыть", true, false, false, true, true, InstallNote},
    {"install failed with retry", false, Screen::Failed, true, FailureCode::AppRunning, true, false, true,
     L"Не удалось завершить установку", AppRunningText.c_str(), L"Операция не завершена",
     L"После устранения причины можно повторить попытку.", L"Повторить", true, true, L"Закрыть", true, true, true,
     true, false, InstallNote},
    {"install failed without retry", false, Screen::Failed, false, FailureCode::InstallFolderRejected, true, false,
     true, L"Не удалось завершить установку", RejectedText.c_str(), L"Операция не завершена",
     L"Закройте установщик и проверьте условия установки.", L"Закрыть", true, true, nullptr, false, true, true,
     true, false, InstallNote},
    {"install cancelled", false, Screen::Cancelled, false, FailureCode::Cancelled, true, false, true,
     L"Установка отменена",
     L"Вы можете начать заново, когда будет удобно.\r\nДанные входа и подписки не удаляются.",
     L"Операция остановлена", L"Нажмите «Повторить», чтобы начать снова.", L"Повторить", true, true, L"Закрыть",
     true, true, true, true, false, InstallNote},
    {"install completed", false, Screen::Completed, false, Ok, true, false, true, L"Pelorin готов к запуску",
     L"Приложение установлено. Войдите в аккаунт\r\nи выберите локацию для подключения к VPN.",
     L"Установка завершена", L"Ярлык Pelorin доступен в меню «Пуск».", L"Открыть Pelorin", true, true, L"Закрыть",
     true, true, false, true, true, InstallNote},
    {"install completed without the desktop shortcut", false, Screen::Completed, false, Ok, true, false, false,
     nullptr, nullptr, nullptr, L"Ярлык на рабочем столе не создан; Pelorin есть в меню «Пуск».", nullptr, true,
     true, L"Закрыть", true, true, false, true, true, InstallNote},
    {"uninstall ready", true, Screen::Ready, true, Ok, false, false, true, L"Удалить Pelorin с компьютера?",
     L"Файлы приложения и ярлыки будут удалены.\r\nАккаунт, подписка и устройства останутся активными.",
     L"Сохранённый вход останется на компьютере", L"Повторная установка сможет использовать этот вход.",
     L"Удалить приложение", true, true, L"Закрыть", true, true, false, true, false, UninstallNote},
    {"uninstall running", true, Screen::Running, true, Ok, true, false, true, L"Удаляем Pelorin",
     L"Удаляем файлы приложения и ярлыки.\r\nДанные входа, подписка и устройства сохраняются.", nullptr, nullptr,
     nullptr, false, false, L"Отменить", true, true, false, false, true, UninstallNote},
    {"uninstall running past the point of no return", true, Screen::Running, true, Ok, false, false, true,
     L"Удаляем Pelorin", nullptr, nullptr, nullptr, nullptr, false, false, L"Отменить", true, false, false, false,
     true, WaitNote},
    {"uninstall failed without retry", true, Screen::Failed, false, FailureCode::VerificationFailed, true, false,
     true, L"Не удалось завершить удаление", VerificationText.c_str(), L"Операция не завершена",
     L"Если удалить приложение не удаётся, обратитесь в поддержку.", L"Закрыть", true, true, nullptr, false, true,
     false, true, false, UninstallNote},
    {"uninstall cancelled", true, Screen::Cancelled, false, FailureCode::Cancelled, true, false, true,
     L"Удаление отменено", nullptr, L"Операция остановлена", nullptr, L"Повторить", true, true, L"Закрыть", true,
     true, false, true, false, UninstallNote},
    {"uninstall launching", true, Screen::Launching, true, Ok, true, false, true, L"Открываем Pelorin", nullptr,
     nullptr, nullptr, L"Запускаем…", true, false, nullptr, false, false, false, true, true, UninstallNote},
    {"uninstall completed", true, Screen::Completed, false, Ok, true, false, true, L"Pelorin удалён",
     L"Приложение удалено. Подписка и устройства остаются\r\nв аккаунте; сохранённый вход можно использовать снова.",
     L"Удаление завершено", L"Управлять подпиской можно на pelorin.example.", L"Закрыть", true, true, nullptr,
     false, true, false, true, true, UninstallNote},
};

class Screens : public SetupWindowTest {
protected:
    void Apply(const ScreenCase& row) {
        ui_.screen = row.screen;
        ui_.canRetry = row.canRetry;
        ui_.lastResult.code = row.code;
        ui_.lastResult.canRetry = row.canRetry;
        ui_.lastResult.desktopShortcutOk = row.desktopShortcutOk;
        ui_.cancellable = row.cancellable;
        ui_.cancelRequested = row.cancelRequested;
        RefreshScreen();
    }
};

void ExpectText(HWND control, const wchar_t* expected, const char* what) {
    if (expected != nullptr) {
        EXPECT_EQ(TextOf(control), expected) << what;
    }
}

TEST_F(Screens, EveryScreenOfBothModes) {
    for (const bool uninstall : {false, true}) {
        Open(uninstall);
        for (const ScreenCase& row : ScreenCases) {
            if (row.uninstall != uninstall) continue;
            SCOPED_TRACE(row.name);
            Apply(row);
            ExpectText(ui_.titleLabel, row.title, "title");
            ExpectText(ui_.bodyLabel, row.body, "body");
            ExpectText(ui_.cardTitleLabel, row.cardTitle, "card title");
            ExpectText(ui_.cardTextLabel, row.cardText, "card text");
            ExpectText(ui_.primaryButton, row.primary, "primary button");
            ExpectText(ui_.closeButton, row.close, "close button");
            EXPECT_EQ(TextOf(ui_.noteLabel), row.note);
            EXPECT_EQ(::IsWindowVisible(ui_.primaryButton) != FALSE, row.primaryVisible) << "primary visible";
            EXPECT_EQ(::IsWindowEnabled(ui_.primaryButton) != FALSE, row.primaryEnabled) << "primary enabled";
            EXPECT_EQ(::IsWindowVisible(ui_.closeButton) != FALSE, row.closeVisible) << "close visible";
            if (row.closeVisible) {
                EXPECT_EQ(::IsWindowEnabled(ui_.closeButton) != FALSE, row.closeEnabled) << "close enabled";
            }
            EXPECT_EQ(::IsWindowVisible(ui_.desktopShortcutCheck) != FALSE, row.checkVisible) << "check box visible";
            EXPECT_EQ(::IsWindowEnabled(ui_.desktopShortcutCheck) != FALSE, row.checkEnabled) << "check box enabled";
            EXPECT_EQ(::IsWindowVisible(ui_.progressBar) != FALSE, row.barVisible) << "progress bar visible";
            // Written on every screen.
            EXPECT_EQ(TextOf(ui_.subtitleLabel), L"Для Windows 11 · x64 · 0.5.0");
            EXPECT_EQ(TextOf(ui_.footerLabel), L"pelorin.example");
            EXPECT_EQ(TextOf(ui_.pathLabel), L"Папка текущего пользователя");
            EXPECT_EQ(TextOf(ui_.brandLabel), L"Pelorin");
        }
        Close();
    }
}

TEST_F(Screens, TheInstallFolderIsShownWhenKnown) {
    ui_.installPath = L"C:\\Users\\Анна\\AppData\\Local\\Programs\\Pelorin\\0.5.0";
    Open();
    EXPECT_EQ(TextOf(ui_.pathLabel), ui_.installPath);
    EXPECT_NE(::GetWindowLongPtrW(ui_.pathLabel, GWL_STYLE) & SS_PATHELLIPSIS, 0) << "a long path loses its middle";
}

TEST_F(Screens, TheCheckBoxKeepsItsStateAcrossScreens) {
    Open();
    ::SendMessageW(ui_.desktopShortcutCheck, BM_SETCHECK, BST_UNCHECKED, 0);
    for (const Screen screen : {Screen::Running, Screen::Failed, Screen::Running, Screen::Cancelled}) {
        ui_.screen = screen;
        RefreshScreen();
    }
    EXPECT_EQ(::SendMessageW(ui_.desktopShortcutCheck, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_TRUE(::IsWindowVisible(ui_.desktopShortcutCheck));
}

// --- the progress card -------------------------------------------------------

class ProgressCard : public SetupWindowTest {
protected:
    void SetUp() override {
        Open();
        ui_.screen = Screen::Running;
        ui_.cancellable = true;
        RefreshScreen();
    }
    int Position() { return static_cast<int>(::SendMessageW(ui_.progressBar, PBM_GETPOS, 0, 0)); }
    bool Marquee() { return (::GetWindowLongPtrW(ui_.progressBar, GWL_STYLE) & PBS_MARQUEE) != 0; }
};

TEST_F(ProgressCard, DownloadAmountsAndBarPositions) {
    ShowProgress({Stage::Downloading, 5'242'880, 67'290'826, true});
    EXPECT_EQ(TextOf(ui_.cardTitleLabel), L"Скачиваем приложение");
    EXPECT_EQ(TextOf(ui_.cardTextLabel), L"5.0 из 64.2 МиБ");
    EXPECT_EQ(Position(), 77);
    EXPECT_FALSE(Marquee());

    ShowProgress({Stage::Downloading, 1'572'864, 0, true});
    EXPECT_EQ(TextOf(ui_.cardTextLabel), L"Получено 1.5 МиБ");
    EXPECT_TRUE(Marquee());
    EXPECT_EQ(Position(), 77) << "a report without total keeps the position";

    ShowProgress({Stage::Installing, 200, 100, true});
    EXPECT_EQ(Position(), 1000) << "done beyond total";
    EXPECT_FALSE(Marquee());
    EXPECT_EQ(TextOf(ui_.cardTitleLabel), L"Устанавливаем файлы приложения");
    EXPECT_EQ(TextOf(ui_.cardTextLabel), L"Операцию можно отменить.");

    ShowProgress({Stage::Installing, UINT64_MAX - 1, UINT64_MAX, true});
    EXPECT_EQ(Position(), 999) << "no overflow in done x 1000";
}

TEST_F(ProgressCard, EveryStageHasItsCaption) {
    const wchar_t* const captions[] = {
        L"Готовим установку", L"Скачиваем приложение", L"Проверяем целостность пакета",
        L"Устанавливаем файлы приложения", L"Завершаем установку и создаём ярлыки", L"Удаляем приложение и ярлыки",
        L"Завершаем операцию",
    };
    for (int stage = 0; stage < 7; ++stage) {
        ShowProgress({static_cast<Stage>(stage), 0, 0, true});
        EXPECT_EQ(TextOf(ui_.cardTitleLabel), captions[stage]);
    }
    for (const int stage : {7, -1}) {
        ShowProgress({static_cast<Stage>(stage), 0, 0, true});
        EXPECT_EQ(TextOf(ui_.cardTitleLabel), L"") << "stage " << stage;
    }
}

TEST_F(ProgressCard, ThePointOfNoReturnLocksTheCloseButton) {
    ShowProgress({Stage::Finalizing, 0, 0, false});
    EXPECT_FALSE(ui_.cancellable);
    EXPECT_FALSE(::IsWindowEnabled(ui_.closeButton));
    EXPECT_EQ(TextOf(ui_.noteLabel), WaitNote);
    EXPECT_EQ(TextOf(ui_.cardTextLabel), L"Не закрывайте установщик до завершения.");
}

TEST_F(ProgressCard, ACancelShowsAtOnceAndInTheNextReport) {
    ShowProgress({Stage::Downloading, 0, 100, true});
    ::SendMessageW(ui_.mainWindow, WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED),
                   reinterpret_cast<LPARAM>(ui_.closeButton));
    EXPECT_TRUE(ui_.cancelRequested.load());
    EXPECT_EQ(TextOf(ui_.closeButton), L"Отменяем…");
    EXPECT_FALSE(::IsWindowEnabled(ui_.closeButton));
    EXPECT_EQ(TextOf(ui_.cardTitleLabel), L"Скачиваем приложение");
    ShowProgress({Stage::Downloading, 10, 100, true});
    EXPECT_EQ(TextOf(ui_.cardTitleLabel), L"Отменяем операцию…");
}

TEST_F(ProgressCard, LateReportsAreIgnored) {
    ui_.screen = Screen::Completed;
    RefreshScreen();
    const std::wstring title = TextOf(ui_.cardTitleLabel);
    ShowProgress({Stage::Downloading, 10, 100, false});
    EXPECT_EQ(TextOf(ui_.cardTitleLabel), title);
    EXPECT_TRUE(ui_.cancellable);
    EXPECT_EQ(Position(), 1000) << "the finished screen shows a full bar";
}

TEST_F(ProgressCard, UnchangedTextsAreNotSetAgain) {
    int sets = 0;
    const OverrideCall<BOOL(HWND, LPCWSTR)> count(UiCalls().SetWindowTextW, [&](HWND control, LPCWSTR text) {
        ++sets;
        return ::SetWindowTextW(control, text);
    });
    const Progress report{Stage::Downloading, 5'242'880, 67'290'826, true};
    ShowProgress(report);
    EXPECT_GT(sets, 0);
    sets = 0;
    ShowProgress(report);
    RefreshScreen();
    EXPECT_EQ(sets, 0) << "an identical report and refresh set no text";
    ShowProgress({Stage::Downloading, 5'290'000, 67'290'826, true});
    EXPECT_EQ(sets, 0) << "5.04 MiB still reads 5.0";
    ShowProgress({Stage::Downloading, 6'000'000, 67'290'826, true});
    EXPECT_EQ(sets, 1);
}

}  // namespace
}  // namespace pelorin::setup::testing
