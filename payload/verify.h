// Decides whether a folder on disk is an intact installation of this release:
// exactly the manifest's files plus the marker and the uninstaller, no other
// entry or link anywhere, every file with its manifest size and digest, the
// uninstaller with the digest the marker records. Nothing is changed on disk.
#pragma once

#include <atomic>
#include <string>

#include "engine/contract.h"

namespace pelorin::setup {

// `cancel` may be null (never cancelled); `progress` may be empty. One
// Verifying report after each manifest file.
void VerifyInstalledTree(const std::wstring& installDir, const std::atomic<bool>* cancel,
                         const ProgressFunction& progress);

}  // namespace pelorin::setup
