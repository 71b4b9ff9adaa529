// The install operation: makes sure version 0.5.0 of the application is in its
// version folder, registered with Windows as an uninstallable program and
// reachable from the Start menu (and, if asked, the desktop). A fresh install
// downloads, verifies and stages the release and moves it into place with one
// rename; an existing version folder is verified file by file and registered
// again. All or nothing up to the registration; the desktop shortcut is
// optional.
#pragma once

#include <atomic>

#include "engine/contract.h"

namespace pelorin::setup {

// Never throws: every failure becomes the result.
OperationResult Install(const Options& options, std::atomic<bool>& cancel, const ProgressFunction& progress);

}  // namespace pelorin::setup
