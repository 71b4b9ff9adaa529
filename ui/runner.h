// The operation runner: the window-side controller between the user's actions
// and the engine. It owns the screen state, runs one operation at a time on a
// worker thread, forwards the engine's progress and result to the window as
// posted messages, and answers close and cancel requests.
//
// It knows the window only through RunnerView (UI thread) and PostToWindow
// (worker thread), and the engine, the clock and thread creation only through
// RunnerServices, so that every path runs in a test without a window.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/contract.h"

namespace pelorin::setup {

enum class Screen : std::int32_t {
    Ready = 0,
    Running = 1,
    Launching = 2,
    Failed = 3,
    Cancelled = 4,
    Completed = 5,
};

// Messages from a worker to the window: wParam 0, lParam a heap record that
// the window owns once the post succeeded.
inline constexpr std::uint32_t WM_SETUP_PROGRESS = 0x8001;  // WM_APP + 1, a Progress
inline constexpr std::uint32_t WM_SETUP_RESULT = 0x8002;    // WM_APP + 2, an OperationResult
inline constexpr std::uint32_t WM_LAUNCH_RESULT = 0x8003;   // WM_APP + 3, an OperationResult

// Posts one message with its record to the window, from the worker thread.
// False when the post failed; the record then still belongs to the caller.
using PostToWindow = std::function<bool(std::uint32_t message, void* record)>;

// The state the runner shares with the screens. UI thread only, except
// cancelRequested, which the engine loads on the worker thread.
struct RunnerState {
    Screen screen = Screen::Ready;
    bool uninstallMode = false;
    bool cancellable = false;
    bool canRetry = true;
    bool closeRequested = false;
    std::atomic<bool> cancelRequested{false};
    std::thread worker;
    std::wstring installPath;
    OperationResult lastResult;
};

// What the runner asks of the window (all on the UI thread).
class RunnerView {
public:
    virtual ~RunnerView() = default;
    virtual void RefreshScreen() = 0;
    virtual void ShowProgress(const Progress& report) = 0;
    virtual void SetProgressMarquee(bool on) = 0;
    virtual bool DesktopShortcutChecked() = 0;
    virtual void FocusPrimaryButton() = 0;
    virtual void FocusCloseButton() = 0;
    virtual void DestroyMainWindow() = 0;
    // A modal message box owned by the main window; returns the button
    // pressed (IDYES, IDOK, ...). `type` holds the MB_* flags.
    virtual int ShowMessageBox(const wchar_t* text, const wchar_t* caption, unsigned int type) = 0;
    // How a worker started now reaches the main window.
    virtual PostToWindow WindowPoster() = 0;
};

using InstallOperation = std::function<OperationResult(const Options&, std::atomic<bool>&, const ProgressFunction&)>;
using UninstallOperation = std::function<OperationResult(std::atomic<bool>&, const ProgressFunction&)>;
using LaunchOperation = std::function<OperationResult()>;
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// The engine operations, the clock and thread creation the runner uses.
struct RunnerServices {
    InstallOperation install;
    UninstallOperation uninstall;
    LaunchOperation launch;
    std::function<std::int64_t()> steadyNanoseconds;
    ThreadStarter startThread;
};

// The engine's Install, Uninstall and LaunchApplication, the steady clock
// and std::thread.
RunnerServices EngineServices();

// Monotonic clock in nanoseconds.
std::int64_t SteadyNanoseconds() noexcept;

// The progress callback handed to the engine: throttles the reports to one
// per 100 ms while stage and cancellable stay the same and posts each kept
// report as a heap copy.
class ProgressForwarder {
public:
    struct Throttle {
        std::int64_t lastPostTime = 0;
        std::int32_t lastStage = 0;
        bool lastCancellable = true;
        bool logged = false;  // the first kept report went to the support log
    };

    ProgressForwarder(PostToWindow post, std::function<std::int64_t()> clock, Throttle& throttle);
    void operator()(const Progress& report) const;

private:
    PostToWindow post_;
    std::function<std::int64_t()> clock_;
    Throttle& throttle_;
};

// What an operation worker is started with; owned by the thread.
struct OperationWorkerStart {
    PostToWindow post;
    bool uninstallMode = false;
    bool createDesktopShortcut = false;
    RunnerServices services;
};

// Thread bodies. Each posts exactly one result record (freeing it when the
// post fails) and never throws.
void RunOperationWorker(const OperationWorkerStart& start, std::atomic<bool>& cancel) noexcept;
void RunLaunchWorker(const PostToWindow& post, const LaunchOperation& launch) noexcept;

class OperationRunner {
public:
    OperationRunner(RunnerState& state, RunnerView& view, const RunnerServices& services) noexcept;

    // The primary action (primary button, Enter).
    void BeginOperation();
    // The close request (WM_CLOSE, Escape, the close button outside Running).
    void RequestClose();
    // The close button was clicked.
    void OnCloseCommand();

    // Handlers of the three posted messages; each owns its record.
    void OnSetupProgress(std::unique_ptr<Progress> report);
    void OnSetupResult(std::unique_ptr<OperationResult> result);
    void OnLaunchResult(std::unique_ptr<OperationResult> result);

    // Sets the cancel flag and waits for a running worker.
    void ShutdownWorker() noexcept;

private:
    void JoinWorker() noexcept;
    void StartOperation();
    void StartLaunch();

    RunnerState& state_;
    RunnerView& view_;
    const RunnerServices& services_;
};

}  // namespace pelorin::setup
