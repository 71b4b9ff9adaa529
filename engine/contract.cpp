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

namespace {

struct CauseRecord {
    bool pending = false;  // `last` holds a failed call of this operation
    FailedCall last;
    std::uint64_t succeededSince = 0;
    FirstCause first;
};

CauseRecord& ThreadCauses() noexcept {
    thread_local CauseRecord record;
    return record;
}

}  // namespace

void NoteFailedCall(const char* call, ErrorKind kind, std::uint32_t error, const wchar_t* subject) noexcept {
    CauseRecord& record = ThreadCauses();
    record.pending = true;
    record.succeededSince = 0;
    record.last.call = call;
    record.last.kind = kind;
    record.last.error = error;
    try {
        record.last.subject.assign(subject != nullptr ? subject : L"");
    } catch (...) {
        record.last.subject.clear();
    }
}

void NoteCallSucceeded() noexcept {
    ++ThreadCauses().succeededSince;
}

void BeginCauseRecord() noexcept {
    CauseRecord& record = ThreadCauses();
    record.pending = false;
    record.succeededSince = 0;
    record.first.callsSince = 0;
    record.first.failed = false;
    record.first.code = FailureCode::None;
    record.first.hasCall = false;
    record.first.call.call = nullptr;
    record.first.call.subject.clear();
}

const FirstCause& OperationFirstCause() noexcept {
    return ThreadCauses().first;
}

void ThrowFailure(FailureCode code) {
    CauseRecord& record = ThreadCauses();
    if (code != FailureCode::Cancelled && !record.first.failed) {
        record.first.failed = true;
        record.first.code = code;
        record.first.hasCall = record.pending;
        if (record.pending) {
            record.first.call.call = record.last.call;
            record.first.call.kind = record.last.kind;
            record.first.call.error = record.last.error;
            record.first.callsSince = record.succeededSince;
            record.first.call.subject.swap(record.last.subject);
        }
    }
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
