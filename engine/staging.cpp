#include "engine/staging.h"

#include "engine/contract.h"
#include "engine/product.h"
#include "payload/entry_names.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {

StagingFolder::~StagingFolder() {
    pins.Clear();
    if (committed || path.empty()) {
        return;
    }
    try {
        for (auto entry = createdFiles.rbegin(); entry != createdFiles.rend(); ++entry) {
            try {
                DeleteFileIfPresent(JoinPath(path, *entry));
            } catch (...) {
                // A file that cannot be deleted keeps its folders; go on.
            }
        }
        for (const std::wstring& folder : ManifestDirectories()) {
            try {
                RemoveDirectoryIfEmpty(JoinPath(path, folder));
            } catch (...) {
            }
        }
        RemoveDirectoryIfEmpty(path);
    } catch (...) {
        // Clean-up is best effort; a destructor never throws.
    }
}

std::unique_ptr<StagingFolder> CreateStagingFolder() {
    auto staging = std::make_unique<StagingFolder>();
    const std::wstring path = JoinPath(ProductRootDirectory(), L".stage-" + RandomHexName());
    if (!SystemCalls().CreateDirectoryW(ToLongPath(path).c_str(), nullptr)) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    // Owned from here on, so that a failed pin removes the empty folder again.
    staging->path = path;
    PinDirectoryChain(staging->pins, path, false);
    return staging;
}

ScopedHandle CreateStagedFile(StagingFolder& staging, std::wstring_view relativeName) {
    const std::wstring full = JoinPath(staging.path, relativeName);
    PinDirectoryChain(staging.pins, ParentPath(full), true);
    // Recorded as soon as the file exists, before its identity check, so that a
    // file whose check fails is removed with the rest.
    std::wstring name(relativeName);
    staging.createdFiles.reserve(staging.createdFiles.size() + 1);  // recording cannot fail after the create
    return OpenFileChecked(full, GENERIC_WRITE, CREATE_NEW, 0,
                           [&staging, &name] { staging.createdFiles.push_back(std::move(name)); });
}

std::string WriteUninstaller(StagingFolder& staging) {
    const std::wstring destination = JoinPath(staging.path, UninstallerName);
    std::string digest;
    staging.createdFiles.reserve(staging.createdFiles.size() + 1);
    CopyFileVerified(OwnExecutablePath(), destination, digest,
                     [&staging] { staging.createdFiles.emplace_back(UninstallerName); });
    return digest;
}

std::string InstallMarkerContent(const std::string& uninstallerDigest) {
    if (uninstallerDigest.size() != 64) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    return InstallMarkerHead() + uninstallerDigest + "\n";
}

void WriteInstallMarker(StagingFolder& staging, const std::string& uninstallerDigest) {
    const std::string content = InstallMarkerContent(uninstallerDigest);
    ScopedHandle marker = CreateStagedFile(staging, InstallMarkerName);
    WriteAll(marker.Get(), content.data(), content.size());
    if (!SystemCalls().FlushFileBuffers(marker.Get())) {
        ThrowFailure(FailureCode::WriteFailed);
    }
}

void PromoteStagingFolder(StagingFolder& staging, const std::wstring& installDirectory) {
    const std::wstring from = ToLongPath(staging.path);
    const std::wstring to = ToLongPath(installDirectory);
    // A folder this process holds without delete sharing cannot be moved.
    staging.pins.Clear();
    if (!SystemCalls().MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    staging.committed = true;
}

void DemoteInstallation(StagingFolder& staging, const std::wstring& installDirectory) {
    const std::wstring from = ToLongPath(installDirectory);
    const std::wstring to = ToLongPath(staging.path);
    if (SystemCalls().MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
        staging.committed = false;
    }
}

}  // namespace pelorin::setup
