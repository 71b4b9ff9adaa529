#include "ui/runner.h"

// Only the message-box and message constants come from here: the runner
// calls no window function itself.
#include <windows.h>

#include <chrono>
#include <exception>
#include <iterator>
#include <string>
#include <utility>

#include "engine/install.h"
#include "engine/launch.h"
#include "engine/uninstall.h"
#include "platform/support_log.h"

namespace pelorin::setup {
namespace {

static_assert(WM_SETUP_PROGRESS == WM_APP + 1 && WM_SETUP_RESULT == WM_APP + 2 && WM_LAUNCH_RESULT == WM_APP + 3);

constexpr wchar_t LaunchFailedText[] = L"Не удалось открыть Pelorin. Попробуйте запустить приложение через меню «Пуск».";
constexpr wchar_t LaunchFailedCaption[] = L"Pelorin установлен";
constexpr wchar_t WaitText[] = L"Завершаем изменения в папке приложения. Дождитесь окончания операции.";
constexpr wchar_t CancelQuestion[] = L"Отменить текущую операцию и закрыть установщик?";
constexpr wchar_t Caption[] = L"Pelorin";

// Less than this since the last post, and the report may be dropped.
constexpr std::int64_t ThrottleNanoseconds = 100'000'000;

// Hands a record to the window; frees it when the post fails.
template <typename Record>
void PostRecord(const PostToWindow& post, std::uint32_t message, std::unique_ptr<Record> record) noexcept {
    try {
        if (post && post(message, record.get())) {
            (void)record.release();  // the window owns it now
        }
    } catch (...) {
        // A post that throws did not hand the record over.
    }
}

}  // namespace

std::int64_t SteadyNanoseconds() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

RunnerServices EngineServices() {
    RunnerServices services;
    services.install = Install;
    services.uninstall = Uninstall;
    services.launch = LaunchApplication;
    services.steadyNanoseconds = SteadyNanoseconds;
    services.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
    return services;
}

// --- worker thread -------------------------------------------------------

constexpr const char* StageNames[] = {"Preparing", "Downloading", "Verifying", "Installing",
                                      "Finalizing", "Removing", "Completing"};

void LogOperationStart(const char* operation, bool createDesktopShortcut) noexcept {
    SupportLog& log = ProcessLog();
    if (!log.IsOpen()) {
        return;
    }
    try {
        std::string line = std::string("operation started: ") + operation;
        if (std::string_view(operation) == "install") {
            line += createDesktopShortcut ? " (desktop shortcut asked for)" : " (no desktop shortcut)";
        }
        log.Line(line);
    } catch (...) {
    }
}

void LogOperationEnd(const char* operation, const OperationResult& result) noexcept {
    SupportLog& log = ProcessLog();
    if (!log.IsOpen()) {
        return;
    }
    try {
        std::string line = std::string("operation ended: ") + operation + ", code " +
                           std::to_string(static_cast<int>(result.code)) + (result.canRetry ? ", retry offered" : "");
        if (!result.desktopShortcutOk) {
            line += ", desktop shortcut failed";
        }
        log.Line(line);
        // The cause recorded on this thread by the operation that just ran.
        if (result.code != FailureCode::None && result.code != FailureCode::Cancelled) {
            log.Line(DescribeFirstCause(OperationFirstCause()));
        } else if (!result.desktopShortcutOk) {
            log.Line(DescribeFirstCause(OperationFirstCause()));
        }
        if (result.code == FailureCode::None && !result.installPath.empty()) {
            log.Line("install folder: ", result.installPath);
        }
    } catch (...) {
    }
}

void LogStageChange(const Progress& report) noexcept {
    SupportLog& log = ProcessLog();
    if (!log.IsOpen()) {
        return;
    }
    try {
        const auto stage = static_cast<std::size_t>(report.stage);
        log.Line(std::string("stage ") + (stage < std::size(StageNames) ? StageNames[stage] : "?") + " " +
                 std::to_string(report.done) + "/" + std::to_string(report.total) +
                 (report.cancellable ? "" : ", not cancellable"));
    } catch (...) {
    }
}

ProgressForwarder::ProgressForwarder(PostToWindow post, std::function<std::int64_t()> clock, Throttle& throttle)
    : post_(std::move(post)), clock_(std::move(clock)), throttle_(throttle) {}

void ProgressForwarder::operator()(const Progress& report) const {
    const std::int64_t now = clock_();
    const auto stage = static_cast<std::int32_t>(report.stage);
    const bool due = stage != throttle_.lastStage || report.cancellable != throttle_.lastCancellable ||
                     now - throttle_.lastPostTime >= ThrottleNanoseconds || report.done == report.total;
    if (!due) {
        return;
    }
    if (stage != throttle_.lastStage || report.cancellable != throttle_.lastCancellable || !throttle_.logged) {
        LogStageChange(report);
        throttle_.logged = true;
    }
    throttle_.lastPostTime = now;
    throttle_.lastStage = stage;
    throttle_.lastCancellable = report.cancellable;
    PostRecord(post_, WM_SETUP_PROGRESS, std::make_unique<Progress>(report));
}

void RunOperationWorker(const OperationWorkerStart& start, std::atomic<bool>& cancel) noexcept {
    std::unique_ptr<OperationResult> record;
    try {
        record = std::make_unique<OperationResult>();
    } catch (...) {
        return;  // nothing to post: the window keeps its Running screen
    }
    try {
        LogOperationStart(start.uninstallMode ? "uninstall" : "install", start.createDesktopShortcut);
        ProgressForwarder::Throttle throttle;
        const ProgressFunction callback =
            ProgressForwarder(start.post, start.services.steadyNanoseconds, throttle);
        if (start.uninstallMode) {
            *record = start.services.uninstall(cancel, callback);
        } else {
            Options options;
            options.createDesktopShortcut = start.createDesktopShortcut;
            *record = start.services.install(options, cancel, callback);
        }
    } catch (...) {
        record->code = FailureCode::WriteFailed;
        record->canRetry = true;
        record->installPath.clear();
        record->desktopShortcutOk = true;
    }
    LogOperationEnd(start.uninstallMode ? "uninstall" : "install", *record);
    PostRecord(start.post, WM_SETUP_RESULT, std::move(record));
}

void RunLaunchWorker(const PostToWindow& post, const LaunchOperation& launch) noexcept {
    std::unique_ptr<OperationResult> record;
    try {
        record = std::make_unique<OperationResult>();
    } catch (...) {
        return;
    }
    LogOperationStart("launch", false);
    try {
        *record = launch();
    } catch (...) {
        record->code = FailureCode::WriteFailed;
    }
    LogOperationEnd("launch", *record);
    PostRecord(post, WM_LAUNCH_RESULT, std::move(record));
}

// --- UI thread -----------------------------------------------------------

OperationRunner::OperationRunner(RunnerState& state, RunnerView& view, const RunnerServices& services) noexcept
    : state_(state), view_(view), services_(services) {}

void OperationRunner::JoinWorker() noexcept {
    if (state_.worker.joinable()) {
        state_.worker.join();
    }
}

void OperationRunner::BeginOperation() {
    switch (state_.screen) {
        case Screen::Running:
        case Screen::Launching:
            return;
        case Screen::Completed:
            if (state_.uninstallMode) {
                RequestClose();
            } else {
                StartLaunch();
            }
            return;
        case Screen::Failed:
            if (!state_.canRetry) {
                RequestClose();
                return;
            }
            break;
        default:
            break;
    }
    StartOperation();
}

void OperationRunner::StartLaunch() {
    JoinWorker();
    state_.screen = Screen::Launching;
    state_.closeRequested = false;
    view_.RefreshScreen();
    try {
        state_.worker = services_.startThread(
            [post = view_.WindowPoster(), launch = services_.launch]() { RunLaunchWorker(post, launch); });
    } catch (const std::exception&) {
        state_.screen = Screen::Completed;
        view_.RefreshScreen();
        view_.ShowMessageBox(LaunchFailedText, LaunchFailedCaption, MB_ICONINFORMATION);
    }
}

void OperationRunner::StartOperation() {
    JoinWorker();
    state_.screen = Screen::Running;
    state_.cancellable = true;
    state_.cancelRequested.exchange(false);
    state_.closeRequested = false;
    const bool createDesktopShortcut = view_.DesktopShortcutChecked();
    view_.RefreshScreen();
    view_.ShowProgress(Progress{Stage::Preparing, 0, 0, true});
    view_.FocusCloseButton();
    try {
        OperationWorkerStart start{view_.WindowPoster(), state_.uninstallMode, createDesktopShortcut, services_};
        state_.worker = services_.startThread([start = std::move(start), &cancel = state_.cancelRequested]() {
            RunOperationWorker(start, cancel);
        });
    } catch (const std::exception&) {
        state_.lastResult.code = FailureCode::WriteFailed;
        state_.canRetry = true;
        state_.screen = Screen::Failed;
        view_.RefreshScreen();
        view_.FocusPrimaryButton();
    }
}

void OperationRunner::RequestClose() {
    for (;;) {
        switch (state_.screen) {
            case Screen::Running:
                if (!state_.cancellable) {
                    view_.ShowMessageBox(WaitText, Caption, MB_ICONINFORMATION);
                    return;
                }
                if (view_.ShowMessageBox(CancelQuestion, Caption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) !=
                    IDYES) {
                    return;
                }
                // Result messages were dispatched while the question was open.
                if (state_.screen != Screen::Running) {
                    continue;
                }
                if (state_.cancellable) {
                    state_.closeRequested = true;
                    state_.cancelRequested.exchange(true);
                }
                view_.RefreshScreen();
                return;
            case Screen::Launching:
                state_.closeRequested = true;
                return;
            default:
                view_.DestroyMainWindow();
                return;
        }
    }
}

void OperationRunner::OnCloseCommand() {
    if (state_.screen == Screen::Running) {
        if (state_.cancellable) {
            state_.cancelRequested.exchange(true);
            view_.RefreshScreen();
        }
        return;
    }
    RequestClose();
}

void OperationRunner::OnSetupProgress(std::unique_ptr<Progress> report) {
    if (report) {
        view_.ShowProgress(*report);
    }
}

void OperationRunner::OnSetupResult(std::unique_ptr<OperationResult> result) {
    if (!result) {
        return;
    }
    JoinWorker();
    state_.lastResult = std::move(*result);
    state_.canRetry = state_.lastResult.canRetry;
    if (!state_.lastResult.installPath.empty()) {
        state_.installPath = state_.lastResult.installPath;
    }
    switch (state_.lastResult.code) {
        case FailureCode::None:
            state_.screen = Screen::Completed;
            break;
        case FailureCode::Cancelled:
            state_.screen = Screen::Cancelled;
            break;
        default:
            state_.screen = Screen::Failed;
            break;
    }
    state_.cancellable = true;
    view_.SetProgressMarquee(false);
    view_.RefreshScreen();
    if (state_.closeRequested && state_.lastResult.code == FailureCode::Cancelled) {
        view_.DestroyMainWindow();
    } else {
        view_.FocusPrimaryButton();
    }
}

void OperationRunner::OnLaunchResult(std::unique_ptr<OperationResult> result) {
    if (!result) {
        return;
    }
    JoinWorker();
    state_.screen = Screen::Completed;
    view_.RefreshScreen();
    if (result->code == FailureCode::None || state_.closeRequested) {
        RequestClose();
    } else {
        view_.ShowMessageBox(LaunchFailedText, LaunchFailedCaption, MB_ICONINFORMATION);
    }
}

void OperationRunner::ShutdownWorker() noexcept {
    state_.cancelRequested.exchange(true);
    JoinWorker();
}

}  // namespace pelorin::setup
