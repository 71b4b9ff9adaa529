// The setup program's course: the run mode from the command line, the
// hand-over of an uninstaller to its relocated copy, the one window and its
// message loop, and the release of the window's resources at the end.
#pragma once

#include <windows.h>

namespace pelorin::setup {

enum class RunMode { Install, Uninstall, Usage };

// The mode of the process's own command line (GetCommandLineW).
RunMode CommandLineRunMode();

// Everything wWinMain does; returns the process exit code.
int RunSetup(HINSTANCE instance, int showCommand);

// Registers the window class "Pelorin.Setup.Window".
bool RegisterSetupWindowClass();

// Creates the window centred in the work area, shows it and focuses the
// primary button; null when creation failed.
HWND CreateSetupWindow(int showCommand);

// One message of the loop: Escape and Enter are the program's own, anything
// else goes through dialog navigation, then translation and dispatch.
void HandleLoopMessage(MSG& message);

// Stops a running worker (cancel flag, join), then deletes fonts, icon and
// brushes.
void ReleaseWindowResources();

}  // namespace pelorin::setup
