// Acceptance and extraction of the release archive from memory (open, the
// catalogue and ExtractPayload into a new staging folder in the product root)
// against the bare cost of the same work, done with nothing in between:
//
//   inflation  every entry's raw DEFLATE data, found by reading the ZIP
//              headers directly, inflated from the archive in memory into one
//              buffer by the ZIP reader's own inflater in a single call;
//   hashing    the inflated bytes fed to CNG in a single call;
//   writing    the same bytes written to a new file in 64 KiB WriteFile
//              pieces, FlushFileBuffers, close; the folders created first,
//              with CreateDirectoryW, in the same structure, in the product
//              root as well.
//
// The baseline is the sum of the three, each timed on its own around every
// entry, in manifest order like the extraction. Removing what either side
// wrote is not timed. Every run does both, back to back (which one goes first
// swaps from run to run); the ratio is the median of the per-run ratios, after
// one warm-up run of each. The CRC-32 that the ZIP reader computes over every
// inflated byte is timed on its own, for reference; it is not in the baseline.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/contract.h"
#include "engine/staging.h"
#include "payload/archive.h"
#include "payload/entry_names.h"
#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tools/bench/bench.h"

// From the ZIP reader's translation unit (payload/catalog.cpp).
extern "C" {
std::size_t tinfl_decompress_mem_to_mem(void* output, std::size_t outputLength, const void* input,
                                        std::size_t inputLength, int flags);
unsigned long mz_crc32(unsigned long crc, const unsigned char* bytes, std::size_t length);
}

namespace pelorin::setup::bench {
namespace {

constexpr double TargetRatio = 1.10;
constexpr int RawDeflate = 0;  // no zlib header, no flags
constexpr std::size_t InflateFailed = static_cast<std::size_t>(-1);
constexpr std::uint16_t Deflated = 8;
constexpr int CrcRuns = 3;

struct BareEntry {
    std::wstring longPath;  // where the bare writer puts it
    const std::uint8_t* data;  // raw DEFLATE data inside the archive
    std::size_t compressed;
    std::size_t size;
    const char* sha256;
};

std::uint32_t Read16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    if (at + 2 > bytes.size()) Fail("reading the archive's headers");
    return static_cast<std::uint32_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint32_t Read32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return Read16(bytes, at) | (Read16(bytes, at + 2) << 16);
}

// Every manifest file's DEFLATE data in the archive, in manifest order, with
// the place the bare writer puts it below `root`.
std::vector<BareEntry> LocateEntries(const std::vector<std::uint8_t>& archive, const std::wstring& root) {
    constexpr std::uint32_t EndSignature = 0x06054b50;
    constexpr std::uint32_t CentralSignature = 0x02014b50;
    constexpr std::uint32_t LocalSignature = 0x04034b50;
    constexpr std::size_t EndSize = 22;
    if (archive.size() < EndSize) Fail("finding the archive's end record");
    std::size_t end = archive.size() - EndSize;
    while (Read32(archive, end) != EndSignature) {
        if (end == 0 || archive.size() - end > EndSize + 65535) Fail("finding the archive's end record");
        --end;
    }
    const std::uint32_t count = Read16(archive, end + 10);
    std::size_t at = Read32(archive, end + 16);

    std::map<std::string_view, std::size_t> rows;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        rows.emplace(PayloadManifest[row].name, row);
    }
    std::vector<BareEntry> entries(PayloadEntryCount);
    std::size_t found = 0;
    for (std::uint32_t index = 0; index < count; ++index) {
        if (Read32(archive, at) != CentralSignature || Read16(archive, at + 10) != Deflated) {
            Fail("reading the archive's central directory");
        }
        const std::size_t compressed = Read32(archive, at + 20);
        const std::size_t size = Read32(archive, at + 24);
        const std::size_t nameLength = Read16(archive, at + 28);
        const std::size_t next = at + 46 + nameLength + Read16(archive, at + 30) + Read16(archive, at + 32);
        const std::size_t local = Read32(archive, at + 42);
        if (next > archive.size()) Fail("reading the archive's central directory");
        const std::string_view name(reinterpret_cast<const char*>(archive.data() + at + 46), nameLength);
        if (!name.starts_with(ArchiveRootPrefix)) Fail("matching the archive to the manifest");
        const auto row = rows.find(name.substr(ArchiveRootPrefix.size()));
        if (row == rows.end()) Fail("matching the archive to the manifest");
        if (Read32(archive, local) != LocalSignature) Fail("reading a local header");
        const std::size_t data = local + 30 + Read16(archive, local + 26) + Read16(archive, local + 28);
        if (data + compressed > archive.size()) Fail("reading a local header");
        const PayloadEntry& entry = PayloadManifest[row->second];
        if (size != entry.size) Fail("matching the archive to the manifest");
        entries[row->second] = BareEntry{ToLongPath(JoinPath(root, Utf8ToWide(entry.name))), archive.data() + data,
                                         compressed, size, entry.sha256};
        ++found;
        at = next;
    }
    if (found != PayloadEntryCount) Fail("matching the archive to the manifest");
    return entries;
}

void Inflate(const BareEntry& entry, std::vector<std::uint8_t>& buffer) {
    if (tinfl_decompress_mem_to_mem(buffer.data(), entry.size, entry.data, entry.compressed, RawDeflate) !=
        entry.size) {
        Fail("inflating an entry");
    }
}

// The bare extraction into `root` (which must not exist); returns the time of
// each of its three parts.
BareTimes BareExtract(const std::wstring& root, const std::vector<std::wstring>& folders,
                      const std::vector<BareEntry>& entries, std::vector<std::uint8_t>& buffer) {
    BareTimes times;
    times.write += TimeSeconds([&] {
        if (!::CreateDirectoryW(ToLongPath(root).c_str(), nullptr)) Fail("creating the bare folder");
        for (const std::wstring& folder : folders) {
            if (!::CreateDirectoryW(folder.c_str(), nullptr)) Fail("creating a bare folder");
        }
    });
    for (const BareEntry& entry : entries) {
        times.inflate += TimeSeconds([&] { Inflate(entry, buffer); });
        times.hash += TimeSeconds([&] {
            BareSha256 hasher;
            hasher.Update(buffer.data(), entry.size);
            if (hasher.FinishHex() != entry.sha256) Fail("comparing an inflated entry's digest");
        });
        times.write += TimeSeconds([&] {
            const HANDLE file = ::CreateFileW(entry.longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) Fail("creating a bare file");
            bool ok = true;
            for (std::size_t at = 0; ok && at < entry.size; at += FileBlockSize) {
                const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(FileBlockSize, entry.size - at));
                DWORD written = 0;
                ok = ::WriteFile(file, buffer.data() + at, piece, &written, nullptr) && written == piece;
            }
            ok = ok && ::FlushFileBuffers(file);
            ::CloseHandle(file);
            if (!ok) Fail("writing a bare file");
        });
    }
    return times;
}

std::vector<std::wstring> BareFolders(const std::wstring& root) {
    std::vector<std::wstring> folders;
    for (const std::wstring& folder : ManifestDirectories()) {
        folders.insert(folders.begin(), ToLongPath(JoinPath(root, folder)));  // parents first
    }
    return folders;
}

std::vector<std::uint8_t> LargestEntryBuffer(const std::vector<BareEntry>& entries) {
    std::size_t largest = 0;
    for (const BareEntry& entry : entries) {
        largest = std::max(largest, entry.size);
    }
    return std::vector<std::uint8_t>(largest);
}

}  // namespace

struct BareExtraction::Prepared {
    std::wstring root;
    std::vector<BareEntry> entries;
    std::vector<std::wstring> folders;
    std::vector<std::uint8_t> buffer;
};

BareExtraction::BareExtraction(const std::vector<std::uint8_t>& archive, const std::wstring& root)
    : prepared_(std::make_unique<Prepared>()) {
    prepared_->root = root;
    prepared_->entries = LocateEntries(archive, root);
    prepared_->folders = BareFolders(root);
    prepared_->buffer = LargestEntryBuffer(prepared_->entries);
}

BareExtraction::~BareExtraction() = default;

BareTimes BareExtraction::Run() {
    return BareExtract(prepared_->root, prepared_->folders, prepared_->entries, prepared_->buffer);
}

void RunExtractBench(Context& context) {
    Report& report = context.report;
    report.Section("extract", "open + catalogue + ExtractPayload of the release archive from memory into a new\n"
                              "  staging folder against the sum of bare inflation, CNG hashing and plain writing\n"
                              "  (64 KiB WriteFile, FlushFileBuffers) of the same files (paired runs, median of\n"
                              "  the per-run ratios)");

    const std::vector<std::uint8_t>& archive = context.release.Archive();
    const ProductRoot productRoot;
    const std::wstring bareRoot = JoinPath(productRoot.Path(), L".bench-" + RandomHexName());
    const std::vector<BareEntry> entries = LocateEntries(archive, bareRoot);
    const std::vector<std::wstring> folders = BareFolders(bareRoot);
    std::vector<std::uint8_t> buffer = LargestEntryBuffer(entries);

    const std::atomic<bool> cancel{false};
    std::uint64_t reports = 0;
    const ProgressFunction progress = [&reports](const Progress&) { ++reports; };

    const auto measured = [&] {
        std::unique_ptr<StagingFolder> staging;
        const double seconds = TimeSeconds([&] {
            ZipReader reader;
            OpenReleaseArchive(reader, archive);
            const EntryMap map = CatalogArchive(reader);
            staging = CreateStagingFolder();
            ExtractPayload(reader, map, *staging, cancel, progress);
        });
        const std::wstring path = staging->path;
        staging.reset();  // deletes what it wrote
        if (PathExists(path)) Fail("removing the staging folder");
        return seconds;
    };
    std::vector<BareTimes> split;
    const auto bare = [&] {
        const BareTimes times = BareExtract(bareRoot, folders, entries, buffer);
        RemoveTree(bareRoot);
        split.push_back(times);
        return times.Sum();
    };

    measured();  // warm-up
    bare();
    split.clear();
    const PairedTimes times = TimePaired(context.repetitions, measured, bare);
    ReportPaired(report, times, "extraction", "bare inflate + hash + write", TargetRatio);

    const BareTimes parts = ReportBareSplit(report, split);
    std::vector<double> crc;
    volatile unsigned long crcSink = 0;
    for (int run = 0; run < CrcRuns; ++run) {
        double seconds = 0.0;
        for (const BareEntry& entry : entries) {
            Inflate(entry, buffer);
            seconds += TimeSeconds([&] { crcSink = mz_crc32(0, buffer.data(), entry.size); });
        }
        crc.push_back(seconds);
    }
    report.Time("ZIP reader's CRC-32 of the same bytes", Median(crc));
    report.Note("(computed by the extraction as well; not in the baseline)");
    const double total = static_cast<double>(PayloadTotalBytes);
    report.Rate("extraction throughput (inflated bytes)", total / MiB / Median(times.measured));
    report.Rate("bare inflation throughput (in memory)", total / MiB / parts.inflate);
}

}  // namespace pelorin::setup::bench
