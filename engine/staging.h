// A fresh installation is built in a private staging folder next to the
// install directory and appears there by one folder rename. Until that rename
// the staging folder's owner deletes everything that was created in it if the
// operation fails.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"

namespace pelorin::setup {

struct StagingFolder {
    std::wstring path;                      // ".stage-<32 hex>" in the product root
    DirectoryPins pins;                     // every folder down to it and inside it
    std::vector<std::wstring> createdFiles; // relative names, in creation order
    bool committed = false;                 // became the install directory

    StagingFolder() = default;
    // Unless committed, deletes the created files (last first), the folders
    // the manifest implies and the staging folder itself, as far as they are
    // empty. Never throws.
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
};

// Creates ".stage-" + a random name in the product root and holds its chain.
std::unique_ptr<StagingFolder> CreateStagingFolder();

// A new, empty file in the staging folder (missing folders are created and
// held), open for writing without sharing, and recorded for clean-up.
ScopedHandle CreateStagedFile(StagingFolder& staging, std::wstring_view relativeName);

// Copies the running program into the staging folder as the uninstaller and
// returns its digest.
std::string WriteUninstaller(StagingFolder& staging);

// The 154-byte install marker: magic line, version, release archive digest and
// the uninstaller's digest, each ended by a line feed.
void WriteInstallMarker(StagingFolder& staging, const std::string& uninstallerDigest);
std::string InstallMarkerContent(const std::string& uninstallerDigest);

// Renames the staging folder to the install directory (never over anything).
void PromoteStagingFolder(StagingFolder& staging, const std::wstring& installDirectory);

// Renames the installation back to the staging name, so that the owner
// deletes it; on failure the installation stays where it is.
void DemoteInstallation(StagingFolder& staging, const std::wstring& installDirectory);

}  // namespace pelorin::setup
