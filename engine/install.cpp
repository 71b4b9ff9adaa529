#include "engine/install.h"

#include <memory>
#include <string>
#include <vector>

#include "engine/download.h"
#include "engine/locks.h"
#include "engine/product.h"
#include "engine/registration.h"
#include "engine/shortcuts.h"
#include "engine/staging.h"
#include "payload/archive.h"
#include "payload/entry_names.h"
#include "payload/verify.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

// True when the install directory exists as a real folder; false when it is
// absent. Anything else there is rejected.
bool InstallDirectoryExists(const std::wstring& installDirectory) {
    const std::wstring path = ToLongPath(installDirectory);
    const ScopedHandle probe(SystemCalls().CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                                       nullptr));
    if (!probe.IsValid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return false;
        }
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    CheckHandleKind(probe.Get(), true);
    return true;
}

// What stands at the install directory's place.
enum class VersionFolder {
    Absent,
    Installation,  // a folder with a marker: verified, never changed
    Leftover,      // a folder without a marker: not an installation
};

VersionFolder ProbeVersionFolder(const std::wstring& installDirectory) {
    if (!InstallDirectoryExists(installDirectory)) {
        return VersionFolder::Absent;
    }
    // Every installation gets its marker before it appears, and an uninstall
    // removes the marker last; so a folder without one is what an uninstall
    // left (folders it could not remove, files the user kept in it) or
    // something that was never an installation. A marker that cannot be read
    // is a failure, not an answer.
    try {
        static_cast<void>(ReadInstallMarker(installDirectory));
    } catch (const Failure& failure) {
        if (failure.code == FailureCode::InstallationNotFound) {
            return VersionFolder::Leftover;
        }
        throw;
    }
    return VersionFolder::Installation;
}

// Clears the install directory's place of a leftover folder without losing
// anything in it: the release's folders that are empty are removed, and if the
// folder still holds something it is moved aside intact, to a new name in the
// product root. A folder that cannot be moved is a failed write.
void SetAsideLeftover(const std::wstring& installDirectory) {
    for (const std::wstring& folder : ManifestDirectories()) {
        try {
            RemoveDirectoryIfEmpty(JoinPath(installDirectory, folder));
        } catch (const Failure&) {
            // Whatever cannot be removed moves aside with the folder.
        }
    }
    try {
        RemoveDirectoryIfEmpty(installDirectory);
    } catch (const Failure&) {
    }
    if (!InstallDirectoryExists(installDirectory)) {
        return;
    }
    const std::wstring aside =
        JoinPath(ProductRootDirectory(), std::wstring(ProductVersion).append(LeftoverFolderInfix) + RandomHexName());
    if (!SystemCalls().MoveFileExW(ToLongPath(installDirectory).c_str(), ToLongPath(aside).c_str(),
                                   MOVEFILE_WRITE_THROUGH)) {
        ThrowFailure(FailureCode::WriteFailed);
    }
}

// Download, catalogue, extraction and commit of a fresh installation. The
// archive, its reader and its entry map live only until the staging folder
// has become the install directory.
void InstallFreshCopy(const std::wstring& installDirectory, bool leftover, std::unique_ptr<StagingFolder>& staging,
                      std::atomic<bool>& cancel, const ProgressFunction& progress) {
    const std::vector<std::uint8_t> archive = DownloadReleaseArchive(cancel, progress);
    EntryMap entries;
    ZipReader reader;  // closed before the entry map and the archive are released
    OpenReleaseArchive(reader, archive);
    entries = CatalogArchive(reader);
    CheckCancel(cancel);
    staging = CreateStagingFolder();
    ExtractPayload(reader, entries, *staging, cancel, progress);
    const std::string uninstallerDigest = WriteUninstaller(*staging);
    WriteInstallMarker(*staging, uninstallerDigest);
    CheckCancel(cancel);  // the last cancellation point of a fresh install
    ReportProgress(progress, Stage::Finalizing, 0, 0, false);
    if (leftover) {
        SetAsideLeftover(installDirectory);
    }
    PromoteStagingFolder(*staging, installDirectory);
}

// The uninstall entry and the Start-menu shortcut, all or nothing: on any
// failure the shortcut is rolled back, then the entry, then a fresh
// installation is moved back out of place (its owner then deletes it).
void Register(const std::wstring& installDirectory, const std::wstring& application, StagingFolder* staging) {
    try {
        const std::unique_ptr<UninstallEntryGuard> entry = SnapshotUninstallEntry();
        const std::unique_ptr<ShortcutUpdate> startMenu = InstallShortcut(StartMenuShortcutPath(), application);
        WriteUninstallEntry(*entry, installDirectory);
        entry->committed = true;
        CommitShortcutUpdate(*startMenu);
    } catch (...) {
        // Unwinding has restored the shortcut, then the entry.
        if (staging != nullptr) {
            try {
                DemoteInstallation(*staging, installDirectory);
            } catch (...) {
                // The installation stays in place, unregistered.
            }
        }
        ThrowFailure(FailureCode::RegistrationFailed);
    }
}

// The optional desktop shortcut; a failure restores an older one and is
// reported only through the result's flag.
bool CreateDesktopShortcut(const std::wstring& application) noexcept {
    try {
        const std::unique_ptr<ShortcutUpdate> desktop = InstallShortcut(DesktopShortcutPath(), application);
        CommitShortcutUpdate(*desktop);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

OperationResult Install(const Options& options, std::atomic<bool>& cancel, const ProgressFunction& progress) {
    return RunOperation([&]() -> OperationResult {
        ReportProgress(progress, Stage::Preparing, 0, 0, true);
        CheckCancel(cancel);
        const std::unique_ptr<EngineLocks> locks = AcquireEngineLocks(true);
        const std::wstring installDirectory = InstallDirectory();
        std::unique_ptr<StagingFolder> staging;  // released before the locks

        const VersionFolder found = ProbeVersionFolder(installDirectory);
        if (found == VersionFolder::Installation) {
            VerifyInstalledTree(installDirectory, &cancel, progress);
            CheckCancel(cancel);  // the last cancellation point of a re-registration
            ReportProgress(progress, Stage::Finalizing, 0, 0, false);
        } else {
            InstallFreshCopy(installDirectory, found == VersionFolder::Leftover, staging, cancel, progress);
        }

        const std::wstring application = JoinPath(installDirectory, AppExecutableName);
        Register(installDirectory, application, staging.get());
        const bool desktopShortcutOk = !options.createDesktopShortcut || CreateDesktopShortcut(application);

        ReportProgress(progress, Stage::Completing, 0, 0, false);
        OperationResult result;
        result.installPath = installDirectory;
        result.desktopShortcutOk = desktopShortcutOk;
        return result;
    });
}

}  // namespace pelorin::setup
