// Verified start of the installed application, and the one way this program
// starts another process.
#pragma once

#include <windows.h>

#include <string>

#include "engine/contract.h"

namespace pelorin::setup {

// Verifies the whole installation, then starts "Pelorin.exe" from it. The
// installation's folders and the executable, held open by the verification,
// stay held until the start has been made, so neither can be swapped between
// the check and the start. Never throws.
OperationResult LaunchApplication();

// Starts `exePath` with the command line "\"exePath\"" plus " arguments" when
// there are any, in the executable's folder, inheriting no handles, without
// waiting for it. `verified` is the caller's open handle on the file it
// checked (shared for reading only, so nobody can write, move or delete it),
// kept by the caller until this returns. The file at `exePath` is opened
// again and must be that very file (VerificationFailed otherwise); it too
// stays open until CreateProcessW has returned.
void StartProcess(const std::wstring& exePath, const std::wstring& arguments, HANDLE verified);

}  // namespace pelorin::setup
