// Verified start of the installed application, and the one way this program
// starts another process.
#pragma once

#include <string>

#include "engine/contract.h"

namespace pelorin::setup {

// Verifies the whole installation, then starts "Pelorin.exe" from it while the
// installation folder is held. Never throws.
OperationResult LaunchApplication();

// Starts `exePath` (held open for reading while the process is created) with
// the command line "\"exePath\"" plus " arguments" when there are any, in the
// executable's folder, inheriting no handles, without waiting for it.
void StartProcess(const std::wstring& exePath, const std::wstring& arguments);

}  // namespace pelorin::setup
