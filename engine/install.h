// The install operation: makes sure version 0.5.0 of the application is in its
// version folder, registered with Windows as an uninstallable program and
// reachable from the Start menu (and, if asked, the desktop). A fresh install
// downloads, verifies and stages the release and moves it into place with one
// rename; an existing version folder is verified file by file and registered
// again. All or nothing up to the registration; the desktop shortcut is
// optional.
//
// A version folder without the installation marker is not an installation
// (an interrupted uninstall leaves such folders, and a user's own files kept
// in it): a fresh install replaces it at its point of no return, after the
// folder's empty release folders are removed and whatever is left in it is
// moved aside intact to "0.5.0.leftover-" and 32 hexadecimal characters in
// the product root.
#pragma once

#include <atomic>
#include <string_view>

#include "engine/contract.h"

namespace pelorin::setup {

// Between the version and the random part of a leftover folder's new name.
inline constexpr std::wstring_view LeftoverFolderInfix = L".leftover-";

// Never throws: every failure becomes the result.
OperationResult Install(const Options& options, std::atomic<bool>& cancel, const ProgressFunction& progress);

}  // namespace pelorin::setup
