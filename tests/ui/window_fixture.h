// The installer window in the test's own process: created the way the
// program creates it, with the engine replaced by a fake the test steers, and
// read back through the window system.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/override_call.h"
#include "ui/runner.h"
#include "ui/ui_calls.h"
#include "ui/ui_state.h"

namespace pelorin::setup::testing {

// A control's text as the window system holds it.
std::wstring TextOf(HWND control);

// A control's rectangle in its parent's client coordinates.
RECT ClientRectOf(HWND control);

class SetupWindowTest : public ::testing::Test {
protected:
    SetupWindowTest();
    ~SetupWindowTest() override;

    // Creates the window in install or uninstall mode.
    void Open(bool uninstallMode = false);
    // Destroys it and releases everything the way the program ends.
    void Close();

    // Runs the program's message loop until `done` holds or `ms` passed.
    bool PumpUntil(const std::function<bool()>& done, DWORD ms = 10000);
    // Handles what is queued now.
    void Pump();

    // Message boxes are answered by the test: every box is recorded and
    // answered with `boxAnswer`.
    struct Box {
        std::wstring text, caption;
        UINT type = 0;
        bool owned = false;
    };
    std::vector<Box> boxes_;
    int boxAnswer_ = IDOK;

    // The fake engine: every operation runs `operation_` (null: success).
    std::function<OperationResult(std::atomic<bool>&, const ProgressFunction&)> operation_;
    std::function<OperationResult()> launch_;
    // The operations started so far ("install", "install desktop", "uninstall", "launch").
    std::vector<std::string> Calls();

    UiState& ui_;

private:
    void NoteCall(std::string call);

    std::mutex callsMutex_;
    std::vector<std::string> calls_;
    OverrideCall<int(HWND, LPCWSTR, LPCWSTR, UINT)> messageBox_;
    OverrideCall<OperationResult(const Options&, std::atomic<bool>&, const ProgressFunction&)> install_;
    OverrideCall<OperationResult(std::atomic<bool>&, const ProgressFunction&)> uninstall_;
    OverrideCall<OperationResult()> launchOverride_;
};

}  // namespace pelorin::setup::testing
