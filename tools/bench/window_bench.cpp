// Responsiveness of the installer window during a fresh install of the
// product's release: the window of the setup program, with its runner and the
// real engine, in this process; another thread sends the window a message
// every few milliseconds and times the answer, and the progress messages the
// runner posts are counted by stage.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/bench/bench.h"
#include "tests/support/override_call.h"
#include "ui/entry.h"
#include "ui/runner.h"
#include "ui/screens.h"
#include "ui/ui_calls.h"
#include "ui/ui_state.h"
#include "ui/window.h"

namespace pelorin::setup::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto SampleInterval = std::chrono::milliseconds(5);
constexpr double AnswerTarget = 0.050;       // seconds
constexpr double PostsPerSecondTarget = 10;  // while stage and cancellable stay

struct Post {
    Clock::time_point at;
    Progress report;
};

struct RunFigures {
    double longestAnswer = 0;  // seconds
    double medianAnswer = 0;
    int samples = 0;
    double downloadSeconds = 0;
    int downloadPosts = 0;      // every post of the download stage
    int downloadThrottled = 0;  // those that were kept by the 100 ms rule alone
    double installingSeconds = 0;
    int installingPosts = 0;
    double installSeconds = 0;
    double longestAt = 0;        // seconds after the click
    int longestStage = -1;       // the stage of the last post before it (-1: none yet)
};

// Posts of one stage: how long the stage lasted (first to last post) and how
// many of its posts were due to the clock alone (not its first report, and
// not one whose done equals its total).
void StageFigures(const std::vector<Post>& posts, Stage stage, double& seconds, int& all, int& throttled) {
    std::vector<Post> ofStage;
    std::copy_if(posts.begin(), posts.end(), std::back_inserter(ofStage),
                 [&](const Post& p) { return p.report.stage == stage; });
    all = static_cast<int>(ofStage.size());
    throttled = 0;
    seconds = 0;
    if (ofStage.size() < 2) return;
    seconds = std::chrono::duration<double>(ofStage.back().at - ofStage.front().at).count();
    for (std::size_t i = 1; i < ofStage.size(); ++i) {
        if (ofStage[i].report.done != ofStage[i].report.total) ++throttled;
    }
}

RunFigures OneInstall() {
    UiState& ui = Ui();
    std::mutex postsMutex;
    std::vector<Post> posts;
    const testing::OverrideCall<BOOL(HWND, UINT, WPARAM, LPARAM)> count(
        UiCalls().PostMessageW, [&](HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
            if (message == WM_SETUP_PROGRESS) {
                std::lock_guard lock(postsMutex);
                posts.push_back({Clock::now(), *reinterpret_cast<const Progress*>(lParam)});
            }
            return ::PostMessageW(window, message, wParam, lParam);
        });

    ResetProductState();
    ui.screen = Screen::Ready;
    RefreshScreen();

    std::atomic<bool> sampling{true};
    std::vector<double> answers;
    std::vector<Clock::time_point> sentAt;
    const HWND window = ui.mainWindow;
    std::thread sampler([&] {
        while (sampling) {
            const auto start = Clock::now();
            DWORD_PTR result = 0;
            ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &result);
            answers.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            sentAt.push_back(start);
            std::this_thread::sleep_for(SampleInterval);
        }
    });

    const auto start = Clock::now();
    ::SendMessageW(ui.primaryButton, BM_CLICK, 0, 0);
    while (ui.screen == Screen::Running) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            HandleLoopMessage(message);
        }
    }
    const double installSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    sampling = false;
    sampler.join();
    if (ui.screen != Screen::Completed) {
        Fail("the install through the window (code " + std::to_string(static_cast<int>(ui.lastResult.code)) + ")");
    }

    RunFigures figures;
    figures.installSeconds = installSeconds;
    figures.samples = static_cast<int>(answers.size());
    if (!answers.empty()) {
        const auto longest = std::max_element(answers.begin(), answers.end());
        const Clock::time_point at = sentAt[static_cast<std::size_t>(longest - answers.begin())];
        figures.longestAnswer = *longest;
        figures.longestAt = std::chrono::duration<double>(at - start).count();
        for (const Post& post : posts) {
            if (post.at <= at) figures.longestStage = static_cast<int>(post.report.stage);
        }
    }
    figures.medianAnswer = Median(answers);
    int unused = 0;
    StageFigures(posts, Stage::Downloading, figures.downloadSeconds, figures.downloadPosts, figures.downloadThrottled);
    StageFigures(posts, Stage::Installing, figures.installingSeconds, figures.installingPosts, unused);
    return figures;
}

}  // namespace

void RunWindowBench(Context& context) {
    context.report.Section("window",
                           "a fresh install through the setup window in this process: the longest time the window "
                           "takes to answer a message sent from another thread every 5 ms, and the progress "
                           "messages posted per second of download");
    const CleanProductState clean;
    UiState& ui = Ui();
    ui.instance = ::GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);
    LoadPalette();
    if (!RegisterSetupWindowClass() || CreateSetupWindow(SW_SHOWNOACTIVATE) == nullptr) {
        Fail("creating the setup window");
    }

    std::vector<RunFigures> runs;
    for (int i = 0; i < context.repetitions; ++i) {
        runs.push_back(OneInstall());
    }
    ::DestroyWindow(ui.mainWindow);
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    ReleaseWindowResources();

    const auto median = [&](auto RunFigures::*field) {
        std::vector<double> values;
        for (const RunFigures& run : runs) values.push_back(static_cast<double>(run.*field));
        return Median(values);
    };
    double longest = 0;
    double worstRate = 0;
    int samples = 0;
    for (const RunFigures& run : runs) {
        context.report.Note("run: longest answer " + std::to_string(run.longestAnswer * 1000) + " ms, " +
                            std::to_string(run.longestAt) + " s after the click, stage " +
                            std::to_string(run.longestStage));
        longest = std::max(longest, run.longestAnswer);
        samples += run.samples;
        if (run.downloadSeconds > 0) {
            worstRate = std::max(worstRate, run.downloadThrottled / run.downloadSeconds);
        }
    }
    context.report.Time("fresh install through the window (median)", median(&RunFigures::installSeconds));
    context.report.Time("median answer to a sent message", median(&RunFigures::medianAnswer));
    context.report.Time("longest answer to a sent message (all runs)", longest);
    context.report.Ratio("longest answer / 50 ms", longest / AnswerTarget, 1.0);
    context.report.Note(std::to_string(samples) + " messages sent in " + std::to_string(runs.size()) + " runs");
    context.report.Time("download stage (median, first to last post)", median(&RunFigures::downloadSeconds));
    context.report.Note("progress posts of the download stage (median): " +
                        std::to_string(static_cast<int>(median(&RunFigures::downloadPosts))) +
                        ", of them kept by the 100 ms rule alone: " +
                        std::to_string(static_cast<int>(median(&RunFigures::downloadThrottled))) +
                        " (the others: the stage's first report and its last, done = total)");
    context.report.Ratio("posts per second of download by the clock / 10 (worst run)",
                         worstRate / PostsPerSecondTarget, 1.0);
    context.report.Note("extraction stage (median): " +
                        std::to_string(static_cast<int>(median(&RunFigures::installingPosts))) + " posts in " +
                        std::to_string(median(&RunFigures::installingSeconds)) + " s");
    PrintValue("window-longest-answer-ms", std::to_string(longest * 1000));
    PrintValue("window-download-posts-per-second", std::to_string(worstRate));
}

}  // namespace pelorin::setup::bench
