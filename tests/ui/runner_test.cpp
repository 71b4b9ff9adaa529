// The operation runner without a window: the screen transitions, the races
// around the nested message box, the progress throttle with a clock the test
// moves, thread creation failures, and who frees the posted records.
#include "ui/runner.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

// Tells the tests when one chosen block is freed: a record the runner had to
// free itself after a failed post.
namespace {
std::atomic<void*> watchedBlock{nullptr};
std::atomic<bool> watchedBlockFreed{false};

void NoteFree(void* block) noexcept {
    if (block != nullptr && block == watchedBlock.load()) {
        watchedBlockFreed = true;
    }
}
}  // namespace

// The replaced allocation functions of this test program, in one pair.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept {
    NoteFree(block);
    std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
    NoteFree(block);
    std::free(block);
}

namespace pelorin::setup {
namespace {

using namespace std::chrono_literals;

// The window's message queue as far as the workers see it.
class PostBox {
public:
    struct Item {
        std::uint32_t message = 0;
        void* record = nullptr;
    };

    bool Post(std::uint32_t message, void* record) {
        if (refuse) {
            watchedBlock = record;
            return false;
        }
        std::lock_guard lock(mutex_);
        items_.push_back({message, record});
        arrived_.notify_all();
        return true;
    }

    std::optional<Item> Take(std::chrono::milliseconds wait = 10s) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, wait, [&] { return !items_.empty(); })) {
            return std::nullopt;
        }
        const Item item = items_.front();
        items_.pop_front();
        return item;
    }

    std::atomic<bool> refuse{false};

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Item> items_;
};

// Frees what a test took out of the post box without handing it on.
void FreeItem(const PostBox::Item& item) {
    if (item.message == WM_SETUP_PROGRESS) {
        delete static_cast<Progress*>(item.record);
    } else {
        delete static_cast<OperationResult*>(item.record);
    }
}

struct MessageBoxCall {
    std::wstring text;
    std::wstring caption;
    unsigned int type = 0;
};

class FakeView : public RunnerView {
public:
    FakeView(RunnerState& state, PostBox& box) : state_(state), box_(box) {}

    void RefreshScreen() override { log.push_back("refresh " + std::to_string(static_cast<int>(state_.screen))); }
    void ShowProgress(const Progress& report) override {
        log.push_back("progress " + std::to_string(static_cast<int>(report.stage)) + " " +
                      std::to_string(report.done) + "/" + std::to_string(report.total) +
                      (report.cancellable ? " c" : " n"));
        // What the screen does with the runner's state.
        if (state_.screen == Screen::Running && state_.cancellable != report.cancellable) {
            state_.cancellable = report.cancellable;
            RefreshScreen();
        }
    }
    void SetProgressMarquee(bool on) override { log.push_back(on ? "marquee on" : "marquee off"); }
    bool DesktopShortcutChecked() override { return checked; }
    void FocusPrimaryButton() override { log.push_back("focus primary"); }
    void FocusCloseButton() override { log.push_back("focus close"); }
    void DestroyMainWindow() override {
        log.push_back("destroy");
        destroyed = true;
    }
    int ShowMessageBox(const wchar_t* text, const wchar_t* caption, unsigned int type) override {
        boxes.push_back({text, caption, type});
        log.push_back("box");
        return answer ? answer() : IDOK;
    }
    PostToWindow WindowPoster() override {
        return [this](std::uint32_t message, void* record) { return box_.Post(message, record); };
    }

    std::vector<std::string> log;
    std::vector<MessageBoxCall> boxes;
    std::function<int()> answer;  // runs while the box is "open"
    bool checked = true;
    bool destroyed = false;

private:
    RunnerState& state_;
    PostBox& box_;
};

// A gate a fake engine operation waits at until the test opens it.
class Gate {
public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Also returns once `cancel` is set; gives up after 20 s.
    bool Wait(const std::atomic<bool>* cancel = nullptr) {
        std::unique_lock lock(mutex_);
        for (int i = 0; i < 20000 && !open_ && !(cancel != nullptr && cancel->load()); ++i) {
            changed_.wait_for(lock, 1ms);
        }
        return open_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

constexpr wchar_t LaunchFailedText[] = L"Не удалось открыть Pelorin. Попробуйте запустить приложение через меню «Пуск».";

OperationResult ResultOf(FailureCode code, bool canRetry = false, std::wstring path = {}) {
    OperationResult result;
    result.code = code;
    result.canRetry = canRetry;
    result.installPath = std::move(path);
    return result;
}

class Runner : public ::testing::Test {
protected:
    Runner() {
        services_.install = [this](const Options& options, std::atomic<bool>& cancel, const ProgressFunction& progress) {
            std::lock_guard lock(callsMutex_);
            calls_.push_back(options.createDesktopShortcut ? "install desktop" : "install");
            return operation_ ? operation_(cancel, progress) : OperationResult{};
        };
        services_.uninstall = [this](std::atomic<bool>& cancel, const ProgressFunction& progress) {
            {
                std::lock_guard lock(callsMutex_);
                calls_.push_back("uninstall");
            }
            return operation_ ? operation_(cancel, progress) : OperationResult{};
        };
        services_.launch = [this]() {
            {
                std::lock_guard lock(callsMutex_);
                calls_.push_back("launch");
            }
            return launch_ ? launch_() : OperationResult{};
        };
        services_.steadyNanoseconds = [this]() { return clock_.load(); };
        services_.startThread = [this](std::function<void()> body) {
            if (threadFailure_) {
                threadFailure_();
            }
            return std::thread(std::move(body));
        };
    }
    ~Runner() override { runner_.ShutdownWorker(); }

    // Hands the next posted message to its handler, as the window procedure does.
    std::uint32_t Dispatch() {
        const std::optional<PostBox::Item> item = box_.Take();
        if (!item) {
            ADD_FAILURE() << "no message was posted";
            return 0;
        }
        switch (item->message) {
            case WM_SETUP_PROGRESS:
                runner_.OnSetupProgress(std::unique_ptr<Progress>(static_cast<Progress*>(item->record)));
                break;
            case WM_SETUP_RESULT:
                runner_.OnSetupResult(std::unique_ptr<OperationResult>(static_cast<OperationResult*>(item->record)));
                break;
            case WM_LAUNCH_RESULT:
                runner_.OnLaunchResult(std::unique_ptr<OperationResult>(static_cast<OperationResult*>(item->record)));
                break;
            default:
                ADD_FAILURE() << "unknown message " << item->message;
        }
        return item->message;
    }

    // Runs until the next result message has been handled.
    void DispatchUntilResult() {
        for (int i = 0; i < 100; ++i) {
            const std::uint32_t message = Dispatch();
            if (message != WM_SETUP_PROGRESS) {
                return;
            }
        }
        ADD_FAILURE() << "no result arrived";
    }

    std::vector<std::string> Calls() {
        std::lock_guard lock(callsMutex_);
        return calls_;
    }

    RunnerState state_;
    PostBox box_;
    FakeView view_{state_, box_};
    RunnerServices services_;
    OperationRunner runner_{state_, view_, services_};
    std::function<OperationResult(std::atomic<bool>&, const ProgressFunction&)> operation_;
    std::function<OperationResult()> launch_;
    std::function<void()> threadFailure_;
    std::atomic<std::int64_t> clock_{5'000'000'000};
    std::mutex callsMutex_;
    std::vector<std::string> calls_;
};

// --- the transition table ------------------------------------------------

enum class Event { Primary, CloseButton, Escape, Progress, SetupResult, LaunchResult };

struct Transition {
    const char* name;
    Screen from;
    bool uninstallMode;
    bool canRetry;
    bool cancellable;
    bool closeRequested;
    Event event;
    int answer;          // of a message box, if one opens
    FailureCode code;    // of a result message
    Screen to;
    bool destroyed;
    bool cancelSet;
    bool closeRequestedAfter;
    const wchar_t* box;  // text of the message box shown, or null
    const char* started; // operation started on a worker, or ""
};

constexpr auto None = FailureCode::None;
constexpr auto Cancelled = FailureCode::Cancelled;
constexpr auto Verification = FailureCode::VerificationFailed;
constexpr wchar_t WaitBox[] = L"Завершаем изменения в папке приложения. Дождитесь окончания операции.";
constexpr wchar_t AskBox[] = L"Отменить текущую операцию и закрыть установщик?";

const Transition Transitions[] = {
    // name, from, uninstall, canRetry, cancellable, closeRequested, event, answer, code,
    //   to, destroyed, cancelSet, closeRequestedAfter, box, started
    {"ready primary installs", Screen::Ready, false, true, false, false, Event::Primary, 0, None,
     Screen::Running, false, false, false, nullptr, "install desktop"},
    {"ready primary uninstalls", Screen::Ready, true, true, false, false, Event::Primary, 0, None,
     Screen::Running, false, false, false, nullptr, "uninstall"},
    {"cancelled primary starts again", Screen::Cancelled, false, false, false, true, Event::Primary, 0, None,
     Screen::Running, false, false, false, nullptr, "install desktop"},
    {"failed with retry starts again", Screen::Failed, false, true, false, false, Event::Primary, 0, None,
     Screen::Running, false, false, false, nullptr, "install desktop"},
    {"failed without retry closes", Screen::Failed, false, false, true, false, Event::Primary, 0, None,
     Screen::Failed, true, false, false, nullptr, ""},
    {"running primary does nothing", Screen::Running, false, true, true, false, Event::Primary, 0, None,
     Screen::Running, false, false, false, nullptr, ""},
    {"launching primary does nothing", Screen::Launching, false, true, true, false, Event::Primary, 0, None,
     Screen::Launching, false, false, false, nullptr, ""},
    {"ready close button closes", Screen::Ready, false, true, true, false, Event::CloseButton, 0, None,
     Screen::Ready, true, false, false, nullptr, ""},
    {"failed escape closes", Screen::Failed, true, true, true, false, Event::Escape, 0, None,
     Screen::Failed, true, false, false, nullptr, ""},
    {"cancelled escape closes", Screen::Cancelled, false, true, true, false, Event::Escape, 0, None,
     Screen::Cancelled, true, false, false, nullptr, ""},
    {"completed close button closes", Screen::Completed, false, true, true, false, Event::CloseButton, 0, None,
     Screen::Completed, true, false, false, nullptr, ""},
    {"running progress is shown", Screen::Running, false, true, true, false, Event::Progress, 0, None,
     Screen::Running, false, false, false, nullptr, ""},
    {"running close button cancels only", Screen::Running, false, true, true, false, Event::CloseButton, 0, None,
     Screen::Running, false, true, false, nullptr, ""},
    {"running close button past the point of no return", Screen::Running, false, true, false, false,
     Event::CloseButton, 0, None, Screen::Running, false, false, false, nullptr, ""},
    {"running escape past the point of no return", Screen::Running, false, true, false, false, Event::Escape,
     IDYES, None, Screen::Running, false, false, false, WaitBox, ""},
    {"running escape answered yes", Screen::Running, false, true, true, false, Event::Escape, IDYES, None,
     Screen::Running, false, true, true, AskBox, ""},
    {"running escape answered no", Screen::Running, false, true, true, false, Event::Escape, IDNO, None,
     Screen::Running, false, false, false, AskBox, ""},
    {"success completes", Screen::Running, false, true, true, false, Event::SetupResult, 0, None,
     Screen::Completed, false, false, false, nullptr, ""},
    {"cancel result shows cancelled", Screen::Running, false, true, true, false, Event::SetupResult, 0, Cancelled,
     Screen::Cancelled, false, false, false, nullptr, ""},
    {"cancel result after close request closes", Screen::Running, false, true, true, true, Event::SetupResult, 0,
     Cancelled, Screen::Cancelled, true, false, true, nullptr, ""},
    {"failure result after close request stays", Screen::Running, false, true, true, true, Event::SetupResult, 0,
     Verification, Screen::Failed, false, false, true, nullptr, ""},
    {"completed primary launches", Screen::Completed, false, true, true, false, Event::Primary, 0, None,
     Screen::Launching, false, false, false, nullptr, "launch"},
    {"completed primary in uninstall mode closes", Screen::Completed, true, true, true, false, Event::Primary, 0,
     None, Screen::Completed, true, false, false, nullptr, ""},
    {"launching escape asks nothing", Screen::Launching, false, true, true, false, Event::Escape, 0, None,
     Screen::Launching, false, false, true, nullptr, ""},
    {"launching close button asks nothing", Screen::Launching, false, true, true, false, Event::CloseButton, 0,
     None, Screen::Launching, false, false, true, nullptr, ""},
    {"launch success closes", Screen::Launching, false, true, true, false, Event::LaunchResult, 0, None,
     Screen::Completed, true, false, false, nullptr, ""},
    {"launch failure after close request closes", Screen::Launching, false, true, true, true, Event::LaunchResult,
     0, Verification, Screen::Completed, true, false, true, nullptr, ""},
    {"launch failure shows the box", Screen::Launching, false, true, true, false, Event::LaunchResult, 0,
     Verification, Screen::Completed, false, false, false, LaunchFailedText, ""},
};

TEST_F(Runner, TransitionTable) {
    for (const Transition& row : Transitions) {
        SCOPED_TRACE(row.name);
        runner_.ShutdownWorker();
        state_.screen = row.from;
        state_.uninstallMode = row.uninstallMode;
        state_.canRetry = row.canRetry;
        state_.cancellable = row.cancellable;
        state_.closeRequested = row.closeRequested;
        state_.cancelRequested = false;
        view_.destroyed = false;
        view_.boxes.clear();
        view_.log.clear();
        view_.answer = [&] { return row.answer; };
        {
            std::lock_guard lock(callsMutex_);
            calls_.clear();
        }
        // A started operation stays on its worker until the row is checked.
        Gate hold;
        operation_ = [&](std::atomic<bool>&, const ProgressFunction&) {
            hold.Wait();
            return OperationResult{};
        };
        launch_ = [&] {
            hold.Wait();
            return OperationResult{};
        };

        switch (row.event) {
            case Event::Primary:
                runner_.BeginOperation();
                break;
            case Event::CloseButton:
                runner_.OnCloseCommand();
                break;
            case Event::Escape:
                runner_.RequestClose();
                break;
            case Event::Progress:
                runner_.OnSetupProgress(std::make_unique<Progress>(Progress{Stage::Installing, 5, 10, true}));
                break;
            case Event::SetupResult:
                runner_.OnSetupResult(std::make_unique<OperationResult>(ResultOf(row.code)));
                break;
            case Event::LaunchResult:
                runner_.OnLaunchResult(std::make_unique<OperationResult>(ResultOf(row.code)));
                break;
        }

        EXPECT_EQ(state_.screen, row.to);
        EXPECT_EQ(view_.destroyed, row.destroyed);
        EXPECT_EQ(state_.cancelRequested.load(), row.cancelSet);
        EXPECT_EQ(state_.closeRequested, row.closeRequestedAfter);
        if (row.box == nullptr) {
            EXPECT_TRUE(view_.boxes.empty());
        } else {
            ASSERT_EQ(view_.boxes.size(), 1u);
            EXPECT_EQ(view_.boxes[0].text, row.box);
        }
        if (row.to != row.from) {
            EXPECT_NE(std::find(view_.log.begin(), view_.log.end(),
                                "refresh " + std::to_string(static_cast<int>(row.to))),
                      view_.log.end())
                << "the new screen is refreshed";
        }
        if (row.event == Event::Progress) {
            EXPECT_EQ(view_.log, std::vector<std::string>{"progress 3 5/10 c"});
        }
        hold.Open();
        runner_.ShutdownWorker();
        std::vector<std::string> expectedCalls;
        if (*row.started != '\0') {
            expectedCalls.push_back(row.started);
        }
        EXPECT_EQ(Calls(), expectedCalls);
        while (const std::optional<PostBox::Item> item = box_.Take(0ms)) {
            FreeItem(*item);
        }
    }
}

// --- starting and finishing an operation --------------------------------

TEST_F(Runner, StartingResetsTheFlagsAndShowsThePreparingReport) {
    state_.screen = Screen::Cancelled;
    state_.cancelRequested = true;
    state_.closeRequested = true;
    state_.cancellable = false;
    view_.checked = false;
    Gate release;
    operation_ = [&](std::atomic<bool>&, const ProgressFunction&) {
        release.Wait();
        return OperationResult{};
    };
    runner_.BeginOperation();
    EXPECT_EQ(state_.screen, Screen::Running);
    EXPECT_TRUE(state_.cancellable);
    EXPECT_FALSE(state_.cancelRequested.load());
    EXPECT_FALSE(state_.closeRequested);
    EXPECT_EQ(view_.log, (std::vector<std::string>{"refresh 1", "progress 0 0/0 c", "focus close"}));
    EXPECT_TRUE(state_.worker.joinable());
    release.Open();
    DispatchUntilResult();
    EXPECT_EQ(Calls(), std::vector<std::string>{"install"}) << "the unticked box reaches Options";
}

TEST_F(Runner, TheResultIsStoredAndTheFinishedScreenShown) {
    state_.installPath = L"C:\\shown before";
    operation_ = [&](std::atomic<bool>&, const ProgressFunction& progress) {
        ReportProgress(progress, Stage::Downloading, 1, 2, true);
        OperationResult result;
        result.installPath = L"C:\\Users\\u\\AppData\\Local\\Programs\\Pelorin\\0.5.0";
        result.desktopShortcutOk = false;
        return result;
    };
    runner_.BeginOperation();
    view_.log.clear();
    EXPECT_EQ(Dispatch(), WM_SETUP_PROGRESS);
    DispatchUntilResult();
    EXPECT_FALSE(state_.worker.joinable()) << "the result handler joined the worker";
    EXPECT_EQ(state_.screen, Screen::Completed);
    EXPECT_EQ(state_.installPath, L"C:\\Users\\u\\AppData\\Local\\Programs\\Pelorin\\0.5.0");
    EXPECT_FALSE(state_.lastResult.desktopShortcutOk);
    EXPECT_FALSE(state_.canRetry);
    EXPECT_EQ(view_.log, (std::vector<std::string>{"progress 1 1/2 c", "marquee off", "refresh 5", "focus primary"}));

    // A failure keeps the path shown so far and takes its retry flag.
    state_.screen = Screen::Failed;
    state_.canRetry = true;
    operation_ = [&](std::atomic<bool>&, const ProgressFunction&) {
        return ResultOf(FailureCode::DownloadFailed, true);
    };
    runner_.BeginOperation();
    DispatchUntilResult();
    EXPECT_EQ(state_.screen, Screen::Failed);
    EXPECT_EQ(state_.lastResult.code, FailureCode::DownloadFailed);
    EXPECT_TRUE(state_.canRetry);
    EXPECT_TRUE(state_.cancellable);
    EXPECT_EQ(state_.installPath, L"C:\\Users\\u\\AppData\\Local\\Programs\\Pelorin\\0.5.0");
}

TEST_F(Runner, AnExceptionEscapingTheOperationIsAFailedWriteWithRetry) {
    for (const bool uninstall : {false, true}) {
        SCOPED_TRACE(uninstall ? "uninstall" : "install");
        state_.screen = Screen::Ready;
        state_.uninstallMode = uninstall;
        operation_ = [](std::atomic<bool>&, const ProgressFunction&) -> OperationResult {
            throw std::runtime_error("escaped");
        };
        runner_.BeginOperation();
        DispatchUntilResult();
        EXPECT_EQ(state_.screen, Screen::Failed);
        EXPECT_EQ(state_.lastResult.code, FailureCode::WriteFailed);
        EXPECT_TRUE(state_.lastResult.canRetry);
        EXPECT_TRUE(state_.canRetry);
        EXPECT_TRUE(state_.lastResult.installPath.empty());
        EXPECT_TRUE(state_.lastResult.desktopShortcutOk);
    }
    // Then the retry runs the operation again.
    operation_ = nullptr;
    runner_.BeginOperation();
    DispatchUntilResult();
    EXPECT_EQ(state_.screen, Screen::Completed);
}

TEST_F(Runner, AnExceptionEscapingTheLaunchIsAFailedWriteWithoutRetry) {
    std::atomic<bool> cancel{false};
    const PostToWindow post = [&](std::uint32_t message, void* record) { return box_.Post(message, record); };
    RunLaunchWorker(post, []() -> OperationResult { throw std::bad_alloc(); });
    const std::optional<PostBox::Item> item = box_.Take();
    ASSERT_TRUE(item);
    ASSERT_EQ(item->message, WM_LAUNCH_RESULT);
    std::unique_ptr<OperationResult> result(static_cast<OperationResult*>(item->record));
    EXPECT_EQ(result->code, FailureCode::WriteFailed);
    EXPECT_FALSE(result->canRetry);
}

// --- thread creation failure ----------------------------------------------

TEST_F(Runner, AWorkerThatCannotStartLeavesNoWorker) {
    const std::function<void()> failures[] = {
        [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                     "thread constructor failed"); },
        [] { throw std::bad_alloc(); },
    };
    for (const auto& failure : failures) {
        threadFailure_ = failure;

        // Install or uninstall: the Failed screen with a retry.
        state_.screen = Screen::Ready;
        state_.canRetry = false;
        state_.lastResult = OperationResult{};
        view_.log.clear();
        runner_.BeginOperation();
        EXPECT_EQ(state_.screen, Screen::Failed);
        EXPECT_EQ(state_.lastResult.code, FailureCode::WriteFailed);
        EXPECT_TRUE(state_.canRetry);
        EXPECT_FALSE(state_.worker.joinable());
        EXPECT_EQ(view_.log, (std::vector<std::string>{"refresh 1", "progress 0 0/0 c", "focus close", "refresh 3",
                                                       "focus primary"}));

        // The launch: back to Completed with the launch message.
        state_.screen = Screen::Completed;
        view_.log.clear();
        view_.boxes.clear();
        runner_.BeginOperation();
        EXPECT_EQ(state_.screen, Screen::Completed);
        EXPECT_FALSE(state_.worker.joinable());
        EXPECT_EQ(view_.log, (std::vector<std::string>{"refresh 2", "refresh 5", "box"}));
        ASSERT_EQ(view_.boxes.size(), 1u);
        EXPECT_EQ(view_.boxes[0].text, LaunchFailedText);
        EXPECT_EQ(view_.boxes[0].caption, L"Pelorin установлен");
        EXPECT_EQ(view_.boxes[0].type, static_cast<unsigned>(MB_ICONINFORMATION));
        EXPECT_FALSE(view_.destroyed);
    }
    EXPECT_TRUE(Calls().empty());
}

// --- the close question and what happens while it is open -----------------

class CloseQuestion : public Runner {
protected:
    // An install waiting at the gate after its first report; Escape asked.
    void StartAndAsk(std::function<void()> whileOpen, int answer) {
        operation_ = [this](std::atomic<bool>& cancel, const ProgressFunction& progress) {
            ReportProgress(progress, Stage::Downloading, 0, 100, true);
            gate_.Wait(&cancel);
            if (cancel.load()) {
                return ResultOf(FailureCode::Cancelled);
            }
            return afterGate_ ? afterGate_(progress) : OperationResult{};
        };
        runner_.BeginOperation();
        EXPECT_EQ(Dispatch(), WM_SETUP_PROGRESS);
        view_.answer = [whileOpen, answer] {
            if (whileOpen) whileOpen();
            return answer;
        };
        view_.log.clear();
        runner_.RequestClose();
    }

    Gate gate_;
    std::function<OperationResult(const ProgressFunction&)> afterGate_;
};

TEST_F(CloseQuestion, IsAskedWithYesNoAndNoAsDefault) {
    StartAndAsk(nullptr, IDNO);
    ASSERT_EQ(view_.boxes.size(), 1u);
    EXPECT_EQ(view_.boxes[0].text, AskBox);
    EXPECT_EQ(view_.boxes[0].caption, L"Pelorin");
    EXPECT_EQ(view_.boxes[0].type, static_cast<unsigned>(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
    EXPECT_FALSE(state_.cancelRequested.load());
    gate_.Open();
    DispatchUntilResult();
    EXPECT_EQ(state_.screen, Screen::Completed);
}

TEST_F(CloseQuestion, YesAfterTheOperationFinishedClosesAtOnce) {
    afterGate_ = [](const ProgressFunction&) { return OperationResult{}; };
    StartAndAsk([&] {
        gate_.Open();
        DispatchUntilResult();  // the nested loop of the box
    }, IDYES);
    EXPECT_EQ(state_.screen, Screen::Completed);
    EXPECT_TRUE(view_.destroyed);
    EXPECT_FALSE(state_.cancelRequested.load());
    EXPECT_FALSE(state_.closeRequested);
}

TEST_F(CloseQuestion, YesAfterThePointOfNoReturnSetsNoFlag) {
    Gate finish;
    afterGate_ = [&](const ProgressFunction& progress) {
        ReportProgress(progress, Stage::Finalizing, 0, 0, false);
        finish.Wait();
        return OperationResult{};
    };
    StartAndAsk([&] {
        gate_.Open();
        EXPECT_EQ(Dispatch(), WM_SETUP_PROGRESS);  // the Finalizing report
    }, IDYES);
    EXPECT_EQ(state_.screen, Screen::Running);
    EXPECT_FALSE(state_.cancellable);
    EXPECT_FALSE(state_.cancelRequested.load());
    EXPECT_FALSE(state_.closeRequested);
    EXPECT_FALSE(view_.destroyed);
    EXPECT_EQ(view_.log.back(), "refresh 1");
    finish.Open();
    DispatchUntilResult();
    EXPECT_EQ(state_.screen, Screen::Completed);
    EXPECT_FALSE(view_.destroyed);
}

TEST_F(CloseQuestion, YesCancelsAndClosesOnlyWhenTheResultIsCancelled) {
    StartAndAsk(nullptr, IDYES);
    EXPECT_TRUE(state_.closeRequested);
    EXPECT_TRUE(state_.cancelRequested.load());
    DispatchUntilResult();  // the operation noticed the flag
    EXPECT_EQ(state_.screen, Screen::Cancelled);
    EXPECT_TRUE(view_.destroyed);
}

TEST_F(CloseQuestion, YesButTheOperationStillCompletesKeepsTheWindow) {
    for (const FailureCode code : {FailureCode::None, FailureCode::DownloadFailed}) {
        view_.destroyed = false;
        state_.screen = Screen::Ready;
        operation_ = [&](std::atomic<bool>& cancel, const ProgressFunction&) {
            while (!cancel.load()) std::this_thread::sleep_for(1ms);
            return ResultOf(code, code != FailureCode::None);  // too late to stop
        };
        runner_.BeginOperation();
        view_.answer = [] { return IDYES; };
        runner_.RequestClose();
        DispatchUntilResult();
        EXPECT_EQ(state_.screen, code == FailureCode::None ? Screen::Completed : Screen::Failed);
        EXPECT_FALSE(view_.destroyed);
    }
}

// --- close button, launch --------------------------------------------------

TEST_F(Runner, TheCloseButtonCancelsButKeepsTheWindow) {
    operation_ = [](std::atomic<bool>& cancel, const ProgressFunction&) {
        while (!cancel.load()) std::this_thread::sleep_for(1ms);
        return ResultOf(FailureCode::Cancelled);
    };
    runner_.BeginOperation();
    view_.log.clear();
    runner_.OnCloseCommand();
    EXPECT_EQ(view_.log, std::vector<std::string>{"refresh 1"});
    EXPECT_TRUE(state_.cancelRequested.load());
    EXPECT_FALSE(state_.closeRequested);
    DispatchUntilResult();
    EXPECT_EQ(state_.screen, Screen::Cancelled);
    EXPECT_FALSE(view_.destroyed);
    EXPECT_TRUE(view_.boxes.empty());
}

TEST_F(Runner, CloseDuringLaunchingClosesOnTheResultWithoutTheFailureBox) {
    state_.screen = Screen::Completed;
    Gate gate;
    launch_ = [&] {
        gate.Wait();
        return ResultOf(FailureCode::VerificationFailed);
    };
    runner_.BeginOperation();
    EXPECT_EQ(state_.screen, Screen::Launching);
    runner_.RequestClose();
    EXPECT_FALSE(view_.destroyed);
    gate.Open();
    EXPECT_EQ(Dispatch(), WM_LAUNCH_RESULT);
    EXPECT_TRUE(view_.destroyed);
    EXPECT_TRUE(view_.boxes.empty());
    EXPECT_FALSE(state_.worker.joinable());
}

TEST_F(Runner, AFailedLaunchShowsTheBoxOnceAndCanBeTriedAgain) {
    state_.screen = Screen::Completed;
    launch_ = [] { return ResultOf(FailureCode::InstallationNotFound); };
    runner_.BeginOperation();
    EXPECT_EQ(Dispatch(), WM_LAUNCH_RESULT);
    EXPECT_EQ(state_.screen, Screen::Completed);
    ASSERT_EQ(view_.boxes.size(), 1u);
    EXPECT_EQ(view_.boxes[0].caption, L"Pelorin установлен");
    EXPECT_FALSE(view_.destroyed);

    launch_ = nullptr;  // succeeds
    runner_.BeginOperation();
    EXPECT_EQ(state_.screen, Screen::Launching);
    EXPECT_EQ(Dispatch(), WM_LAUNCH_RESULT);
    EXPECT_TRUE(view_.destroyed);
    EXPECT_EQ(view_.boxes.size(), 1u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"launch", "launch"}));
}

// --- the progress throttle ---------------------------------------------------

TEST(ProgressThrottle, KeepsStageChangesEndsAndOneReportPer100ms) {
    struct Step {
        std::int64_t at;  // ns
        Stage stage;
        std::uint64_t done, total;
        bool cancellable;
        bool posted;
    };
    const std::int64_t t0 = 7'000'000'000;
    const Step steps[] = {
        {t0, Stage::Preparing, 0, 0, true, true},                         // the first report
        {t0 + 1, Stage::Downloading, 10, 100, true, true},                // stage change
        {t0 + 50'000'000, Stage::Downloading, 20, 100, true, false},      // within 100 ms
        {t0 + 100'000'000, Stage::Downloading, 30, 100, true, false},     // 99,999,999 ns after the last post
        {t0 + 100'000'001, Stage::Downloading, 40, 100, true, true},      // 100 ms after
        {t0 + 100'000'002, Stage::Downloading, 100, 100, true, true},     // done equals total
        {t0 + 100'000'003, Stage::Verifying, 0, 100, true, true},         // stage change
        {t0 + 100'000'004, Stage::Verifying, 10, 100, true, false},
        {t0 + 100'000'005, Stage::Verifying, 20, 100, false, true},       // cancellable change
        {t0 + 100'000'006, Stage::Verifying, 30, 100, false, false},
        {t0 + 100'000'007, Stage::Verifying, 0, 0, false, true},          // 0 of 0
    };
    std::int64_t now = 0;
    std::vector<Progress> posted;
    ProgressForwarder::Throttle throttle;
    const ProgressForwarder forwarder(
        [&](std::uint32_t message, void* record) {
            EXPECT_EQ(message, WM_SETUP_PROGRESS);
            std::unique_ptr<Progress> copy(static_cast<Progress*>(record));
            posted.push_back(*copy);
            return true;
        },
        [&] { return now; }, throttle);
    for (const Step& step : steps) {
        now = step.at;
        const std::size_t before = posted.size();
        forwarder(Progress{step.stage, step.done, step.total, step.cancellable});
        ASSERT_EQ(posted.size(), before + (step.posted ? 1 : 0)) << "report at +" << step.at - t0 << " ns";
        if (step.posted) {
            EXPECT_EQ(posted.back().stage, step.stage);
            EXPECT_EQ(posted.back().done, step.done);
            EXPECT_EQ(posted.back().total, step.total);
            EXPECT_EQ(posted.back().cancellable, step.cancellable);
        }
    }
}

TEST(ProgressThrottle, AFailedPostFreesTheCopyAndStillCountsAsPosted) {
    std::int64_t now = 1'000'000'000;
    bool accept = false;
    int posts = 0;
    ProgressForwarder::Throttle throttle;
    const ProgressForwarder forwarder(
        [&](std::uint32_t, void* record) {
            ++posts;
            if (!accept) {
                watchedBlock = record;
                watchedBlockFreed = false;
                return false;
            }
            delete static_cast<Progress*>(record);
            return true;
        },
        [&] { return now; }, throttle);
    forwarder(Progress{Stage::Downloading, 1, 100, true});
    EXPECT_EQ(posts, 1);
    EXPECT_TRUE(watchedBlockFreed.load()) << "the refused copy was freed";
    watchedBlock = nullptr;
    EXPECT_EQ(throttle.lastPostTime, now);
    EXPECT_EQ(throttle.lastStage, 1);

    accept = true;
    now += 10'000'000;
    forwarder(Progress{Stage::Downloading, 2, 100, true});
    EXPECT_EQ(posts, 1) << "the throttle counts the failed post";
}

// --- ownership of the result records --------------------------------------

TEST_F(Runner, AResultThatCannotBePostedIsFreedByTheWorker) {
    for (const bool launch : {false, true}) {
        watchedBlock = nullptr;
        watchedBlockFreed = false;
        box_.refuse = true;
        const PostToWindow post = [&](std::uint32_t message, void* record) { return box_.Post(message, record); };
        if (launch) {
            RunLaunchWorker(post, [] { return OperationResult{}; });
        } else {
            std::atomic<bool> cancel{false};
            RunOperationWorker(OperationWorkerStart{post, false, true, services_}, cancel);
        }
        EXPECT_NE(watchedBlock.load(), nullptr) << "a post was tried";
        EXPECT_TRUE(watchedBlockFreed.load()) << (launch ? "launch" : "operation");
        watchedBlock = nullptr;
    }
    box_.refuse = false;
}

// --- shutdown ----------------------------------------------------------------

TEST_F(Runner, ShutdownSetsTheCancelFlagAndWaitsForTheWorker) {
    std::atomic<bool> finished{false};
    operation_ = [&](std::atomic<bool>& cancel, const ProgressFunction&) {
        while (!cancel.load()) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);  // the engine winds down
        finished = true;
        return ResultOf(FailureCode::Cancelled);
    };
    runner_.BeginOperation();
    ASSERT_TRUE(state_.worker.joinable());
    runner_.ShutdownWorker();
    EXPECT_TRUE(state_.cancelRequested.load());
    EXPECT_TRUE(finished.load()) << "the worker ended before shutdown returned";
    EXPECT_FALSE(state_.worker.joinable());
    // The result it posted is left for the window that no longer handles it.
    const std::optional<PostBox::Item> item = box_.Take();
    ASSERT_TRUE(item);
    FreeItem(*item);
}

}  // namespace
}  // namespace pelorin::setup
