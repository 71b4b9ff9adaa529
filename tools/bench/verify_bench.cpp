// VerifyInstalledTree of an installation of the release against the bare cost
// of reading what it reads: every file of the installation (the manifest's
// files, the uninstaller and the install marker) opened with a plain
// CreateFileW, read in 64 KiB ReadFile calls, each block fed to CNG, the
// digest compared with the manifest's. The paths are prepared beforehand; the
// bare side lists no folder and opens no folder.
//
// The installation is made once, the way the installer makes one (staging
// folder, extraction, uninstaller, marker, one rename), and removed at the
// end. Every run verifies with both, and with a reference that uses the
// product's file primitives without the walk of the tree, the order rotating
// from run to run, after one warm-up run of each, so all read from the
// system's cache; the ratios are medians of the per-run ratios.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/contract.h"
#include "engine/product.h"
#include "engine/staging.h"
#include "payload/archive.h"
#include "payload/manifest.h"
#include "payload/verify.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "tools/bench/bench.h"

namespace pelorin::setup::bench {
namespace {

constexpr double TargetRatio = 1.05;

// An installation of the release in the install directory, removed again
// when its owner goes.
class Installation {
public:
    explicit Installation(const std::vector<std::uint8_t>& archive) : directory_(InstallDirectory()) {
        if (PathExists(directory_)) Fail("finding the install directory free");
        const std::atomic<bool> cancel{false};
        staging_ = CreateStagingFolder();
        {
            ZipReader reader;
            OpenReleaseArchive(reader, archive);
            const EntryMap entries = CatalogArchive(reader);
            ExtractPayload(reader, entries, *staging_, cancel, {});
        }
        uninstallerDigest_ = WriteUninstaller(*staging_);
        WriteInstallMarker(*staging_, uninstallerDigest_);
        PromoteStagingFolder(*staging_, directory_);
    }
    ~Installation() {
        if (staging_->committed) {
            DemoteInstallation(*staging_, directory_);
        }
        staging_.reset();  // deletes everything it wrote
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    const std::string& UninstallerDigest() const noexcept { return uninstallerDigest_; }

private:
    std::wstring directory_;
    std::unique_ptr<StagingFolder> staging_;
    std::string uninstallerDigest_;
};

}  // namespace

void BareReadAndHash(const std::vector<BareFile>& files, std::vector<unsigned char>& block) {
    for (const BareFile& file : files) {
        const HANDLE handle =
            ::CreateFileW(file.longPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) Fail("opening an installed file");
        BareSha256 hasher;
        DWORD read = 0;
        while (::ReadFile(handle, block.data(), FileBlockSize, &read, nullptr) && read > 0) {
            hasher.Update(block.data(), read);
        }
        ::CloseHandle(handle);
        const std::string digest = hasher.FinishHex();
        if (!file.sha256.empty() && digest != file.sha256) Fail("comparing an installed file's digest");
    }
}

std::vector<BareFile> InstalledFiles(const std::wstring& directory, const std::string& uninstallerDigest) {
    std::vector<BareFile> files;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        files.push_back({ToLongPath(JoinPath(directory, Utf8ToWide(PayloadManifest[row].name))),
                         PayloadManifest[row].sha256});
    }
    files.push_back({ToLongPath(JoinPath(directory, UninstallerName)), uninstallerDigest});
    files.push_back({ToLongPath(JoinPath(directory, InstallMarkerName)), std::string()});
    return files;
}

void RunVerifyBench(Context& context) {
    Report& report = context.report;
    report.Section("verify", "VerifyInstalledTree of an installation of the release against a plain loop of\n"
                             "  64 KiB ReadFile calls over the same files, each block hashed with CNG directly\n"
                             "  (runs in turns, median of the per-run ratios)");

    const std::vector<std::uint8_t>& archive = context.release.Archive();
    const ProductRoot productRoot;
    const std::wstring directory = InstallDirectory();
    {
        const Installation installation(archive);
        const std::vector<BareFile> files = InstalledFiles(directory, installation.UninstallerDigest());
        std::vector<unsigned char> block(FileBlockSize);

        std::uint64_t reports = 0;
        const ProgressFunction progress = [&reports](const Progress&) { ++reports; };
        const auto measured = [&] { return TimeSeconds([&] { VerifyInstalledTree(directory, nullptr, progress); }); };
        const auto bare = [&] { return TimeSeconds([&] { BareReadAndHash(files, block); }); };

        // A reference in the same runs: the product's file primitives alone
        // (OpenFileChecked and HashFile on every file), with no listing, no
        // folder held and no marker read; what is left to VerifyInstalledTree
        // is its walk of the tree.
        std::vector<std::wstring> paths;
        for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
            paths.push_back(JoinPath(directory, Utf8ToWide(PayloadManifest[row].name)));
        }
        paths.push_back(JoinPath(directory, UninstallerName));
        paths.push_back(JoinPath(directory, InstallMarkerName));
        const auto primitives = [&] {
            return TimeSeconds([&] {
                for (const std::wstring& path : paths) {
                    const ScopedHandle file = OpenFileChecked(path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
                    HashFile(file.Get(), 0);
                }
            });
        };

        measured();  // warm-up: brings the files into the system's cache
        bare();
        const std::vector<std::vector<double>> turns = TimeInTurns(context.repetitions, {measured, bare, primitives});
        PairedTimes times{turns[0], turns[1], {}};
        std::vector<double> primitiveRatios;
        for (std::size_t run = 0; run < turns[1].size(); ++run) {
            times.ratios.push_back(turns[0][run] / turns[1][run]);
            primitiveRatios.push_back(turns[2][run] / turns[1][run]);
        }
        ReportPaired(report, times, "VerifyInstalledTree", "bare read-and-hash loop", TargetRatio);
        char line[128];
        std::snprintf(line, sizeof line, "for reference, OpenFileChecked + HashFile on every file, no walk: %.3f s, %.3f",
                      Median(turns[2]), Median(primitiveRatios));
        report.Note(line);
        report.Note("(median time, and median of the per-run ratios to the bare loop)");
        report.Rate("VerifyInstalledTree throughput",
                    static_cast<double>(PayloadTotalBytes) / MiB / Median(times.measured));
    }
    if (PathExists(directory)) Fail("removing the installation");
}

}  // namespace pelorin::setup::bench
