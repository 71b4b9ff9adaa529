#include "engine/contract.h"

#include <new>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace pelorin::setup {
namespace {

TEST(FailureMessage, EveryCodeHasItsText) {
    const std::wstring generic =
        L"Не удалось завершить операцию. Попробуйте ещё раз; если ошибка повторится, обратитесь в поддержку Pelorin.";
    const struct {
        std::int32_t code;
        std::wstring text;
    } cases[] = {
        {2, L"Сначала отключите VPN и закройте Pelorin. Затем повторите операцию."},
        {3, L"Не удалось скачать приложение. Проверьте интернет и повторите попытку."},
        {4, L"Проверка файлов не пройдена. Если Pelorin уже установлен, удалите его через настройки Windows и "
            L"установите заново. Иначе скачайте установщик снова."},
        {5, L"Не удалось записать файлы. Проверьте свободное место и доступ к папке приложения, затем повторите "
            L"попытку."},
        {6, L"Папка установки не прошла проверку. Обратитесь в поддержку Pelorin; не удаляйте данные аккаунта "
            L"вручную."},
        {7, L"Эта сборка предназначена для Windows 11 x64. Проверьте версию и архитектуру вашей системы."},
        {8, L"Файлы установленной версии не найдены. Для новой установки запустите установщик без параметров. "
            L"Если запись Pelorin уже есть в Windows, обратитесь в поддержку."},
        {9, L"Не удалось завершить регистрацию приложения в Windows. Закройте Pelorin и повторите попытку."},
        {0, generic},
        {1, generic},
        {10, generic},
        {-1, generic},
        {INT32_MIN, generic},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FailureMessage(static_cast<FailureCode>(c.code)), c.text) << "code " << c.code;
    }
}

TEST(RunOperation, FailureBecomesResult) {
    for (std::int32_t code = 1; code <= 9; ++code) {
        const OperationResult result = RunOperation([&]() -> OperationResult {
            ThrowFailure(static_cast<FailureCode>(code));
        });
        const bool retry = code == 2 || code == 3 || code == 5 || code == 9;
        EXPECT_EQ(static_cast<std::int32_t>(result.code), code);
        EXPECT_EQ(result.canRetry, retry) << "code " << code;
        EXPECT_TRUE(result.installPath.empty());
        EXPECT_TRUE(result.desktopShortcutOk);
    }
}

TEST(RunOperation, OtherExceptionsAreFailedWrites) {
    const std::vector<std::function<OperationResult()>> bodies = {
        []() -> OperationResult { throw std::bad_alloc(); },
        []() -> OperationResult { throw std::runtime_error("x"); },
        []() -> OperationResult { throw 42; },
    };
    for (const auto& body : bodies) {
        const OperationResult result = RunOperation(body);
        EXPECT_EQ(result.code, FailureCode::WriteFailed);
        EXPECT_TRUE(result.canRetry);
        EXPECT_TRUE(result.installPath.empty());
        EXPECT_TRUE(result.desktopShortcutOk);
    }
}

TEST(RunOperation, SuccessPassesThrough) {
    const OperationResult result = RunOperation([] {
        OperationResult ok;
        ok.installPath = L"C:\\x";
        ok.desktopShortcutOk = false;
        return ok;
    });
    EXPECT_EQ(result.code, FailureCode::None);
    EXPECT_FALSE(result.canRetry);
    EXPECT_EQ(result.installPath, L"C:\\x");
    EXPECT_FALSE(result.desktopShortcutOk);
}

TEST(RunOperation, CancellationPointEndsWithCancelled) {
    std::atomic<bool> cancel{false};
    int reached = 0;
    auto body = [&]() -> OperationResult {
        CheckCancel(cancel);
        ++reached;
        return {};
    };
    EXPECT_EQ(RunOperation(body).code, FailureCode::None);
    cancel = true;
    const OperationResult cancelled = RunOperation(body);
    EXPECT_EQ(cancelled.code, FailureCode::Cancelled);
    EXPECT_FALSE(cancelled.canRetry);
    EXPECT_TRUE(cancelled.desktopShortcutOk);
    EXPECT_EQ(reached, 1);
}

TEST(ReportProgress, DeliversTheReport) {
    std::vector<Progress> seen;
    const ProgressFunction progress = [&](const Progress& p) { seen.push_back(p); };
    ReportProgress(progress, Stage::Downloading, 5, 67290826, true);
    ReportProgress(progress, Stage::Finalizing, 0, 0, false);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].stage, Stage::Downloading);
    EXPECT_EQ(seen[0].done, 5u);
    EXPECT_EQ(seen[0].total, 67290826u);
    EXPECT_TRUE(seen[0].cancellable);
    EXPECT_EQ(seen[1].stage, Stage::Finalizing);
    EXPECT_FALSE(seen[1].cancellable);
}

TEST(ReportProgress, EmptyOrThrowingReceiverChangesNothing) {
    ReportProgress(ProgressFunction(), Stage::Preparing, 0, 0, true);
    int calls = 0;
    const ProgressFunction throwing = [&](const Progress&) {
        ++calls;
        throw std::runtime_error("receiver failed");
    };
    const OperationResult result = RunOperation([&] {
        ReportProgress(throwing, Stage::Preparing, 0, 0, true);
        ReportProgress(throwing, Stage::Completing, 0, 0, false);
        return OperationResult{};
    });
    EXPECT_EQ(result.code, FailureCode::None);
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace pelorin::setup
