#include "engine/contract.h"

namespace pelorin::setup {

void ReportProgress(const ProgressFunction& progress, Stage stage, std::uint64_t done, std::uint64_t total,
                    bool cancellable) noexcept {
    if (!progress) {
        return;
    }
    const Progress report{stage, done, total, cancellable};
    try {
        progress(report);
    } catch (...) {
        // A failing progress receiver never changes the outcome of an operation.
    }
}

void ThrowFailure(FailureCode code) {
    throw Failure{code};
}

std::wstring_view FailureMessage(FailureCode code) noexcept {
    switch (code) {
        case FailureCode::AppRunning:
            return L"Сначала отключите VPN и закройте Pelorin. Затем повторите операцию.";
        case FailureCode::DownloadFailed:
            return L"Не удалось скачать приложение. Проверьте интернет и повторите попытку.";
        case FailureCode::VerificationFailed:
            return L"Проверка файлов не пройдена. Если Pelorin уже установлен, удалите его через настройки Windows и "
                   L"установите заново. Иначе скачайте установщик снова.";
        case FailureCode::WriteFailed:
            return L"Не удалось записать файлы. Проверьте свободное место и доступ к папке приложения, затем "
                   L"повторите попытку.";
        case FailureCode::InstallFolderRejected:
            return L"Папка установки не прошла проверку. Обратитесь в поддержку Pelorin; не удаляйте данные "
                   L"аккаунта вручную.";
        case FailureCode::UnsupportedSystem:
            return L"Эта сборка предназначена для Windows 11 x64. Проверьте версию и архитектуру вашей системы.";
        case FailureCode::InstallationNotFound:
            return L"Файлы установленной версии не найдены. Для новой установки запустите установщик без "
                   L"параметров. Если запись Pelorin уже есть в Windows, обратитесь в поддержку.";
        case FailureCode::RegistrationFailed:
            return L"Не удалось завершить регистрацию приложения в Windows. Закройте Pelorin и повторите попытку.";
        default:
            return L"Не удалось завершить операцию. Попробуйте ещё раз; если ошибка повторится, обратитесь в "
                   L"поддержку Pelorin.";
    }
}

bool CanRetry(FailureCode code) noexcept {
    return code == FailureCode::AppRunning || code == FailureCode::DownloadFailed ||
           code == FailureCode::WriteFailed || code == FailureCode::RegistrationFailed;
}

OperationResult FailureResult(FailureCode code) noexcept {
    OperationResult result;
    result.code = code;
    result.canRetry = CanRetry(code);
    result.desktopShortcutOk = true;
    return result;
}

void CheckCancel(const std::atomic<bool>& cancel) {
    if (cancel.load()) {
        ThrowFailure(FailureCode::Cancelled);
    }
}

}  // namespace pelorin::setup
