// Decides whether a folder on disk is an intact installation of this release:
// exactly the manifest's files plus the marker and the uninstaller, no other
// entry or link anywhere, every file with its manifest size and digest, the
// uninstaller with the digest the marker records. Nothing is changed on disk.
#pragma once

#include <atomic>
#include <string>

#include "engine/contract.h"
#include "platform/handles.h"

namespace pelorin::setup {

// What a verification can hand on to its caller: every folder it held (the
// installation's chain and every folder inside it), and the application
// executable, open for reading and shared for reading only, exactly as it
// was hashed. While the caller keeps them, neither a folder nor the
// executable can be moved, replaced, deleted or written.
struct VerifiedInstallation {
    DirectoryPins pins;
    ScopedHandle application;
};

// `cancel` may be null (never cancelled); `progress` may be empty. One
// Verifying report after each manifest file.
void VerifyInstalledTree(const std::wstring& installDir, const std::atomic<bool>* cancel,
                         const ProgressFunction& progress);

// The same verification; on success `held` keeps the folders and the
// application executable instead of releasing them.
void VerifyInstalledTree(const std::wstring& installDir, const std::atomic<bool>* cancel,
                         const ProgressFunction& progress, VerifiedInstallation& held);

}  // namespace pelorin::setup
