#include "tests/support/tiny_release.h"

#include <array>

#include "payload/manifest.h"
#include "platform/sha256.h"

namespace pelorin::setup {
namespace {

constexpr std::size_t RowCount = 7;
constexpr std::array<std::uint64_t, RowCount> Sizes = {3000, 40, 33, 150000, 123, 700, 12};

std::string Pattern(std::size_t n, std::uint32_t seed) {
    std::string out(n, '\0');
    std::uint32_t x = seed;
    for (char& c : out) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

std::string Text(std::size_t n, std::string_view line) {
    std::string out;
    while (out.size() < n) out.append(line);
    out.resize(n);
    return out;
}

const std::array<std::string, RowCount>& Contents() {
    static const std::array<std::string, RowCount> contents = {
        Pattern(Sizes[0], 1),
        Text(Sizes[1], "deep file\n"),
        Text(Sizes[2], "read me\n"),
        Pattern(Sizes[3], 2),
        Text(Sizes[4], "{\"setting\": true}\n"),
        Text(Sizes[5], "Лицензионный текст.\n"),
        Text(Sizes[6], "tiny config\n"),
    };
    return contents;
}

std::array<std::array<char, 65>, RowCount> digests = [] {
    std::array<std::array<char, 65>, RowCount> result{};
    for (std::size_t i = 0; i < RowCount; ++i) {
        Sha256 hasher;
        hasher.Update(Contents()[i].data(), Contents()[i].size());
        const std::string hex = hasher.FinishHex();
        std::copy(hex.begin(), hex.end(), result[i].begin());
    }
    return result;
}();

}  // namespace

const PayloadEntry PayloadManifest[] = {
    {"Pelorin.dll", Sizes[0], digests[0].data()},
    {"a/b/c/deep.txt", Sizes[1], digests[1].data()},
    {"a/readme.txt", Sizes[2], digests[2].data()},
    {"big.bin", Sizes[3], digests[3].data()},
    {"licenses/config.json", Sizes[4], digests[4].data()},
    {"licenses/\xd0\x9b\xd0\xb8\xd1\x86\xd0\xb5\xd0\xbd\xd0\xb7\xd0\xb8\xd1\x8f.txt", Sizes[5], digests[5].data()},
    {"tiny.cfg", Sizes[6], digests[6].data()},
};
const std::size_t PayloadEntryCount = RowCount;
const std::uint64_t PayloadTotalBytes = 3000 + 40 + 33 + 150000 + 123 + 700 + 12;
const std::uint64_t ReleaseArchiveSize = 200000;
// The tiny release is never downloaded; this only fills the marker's line.
const char ReleaseArchiveSha256[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

namespace testing {

const std::string& TinyFileContent(std::size_t row) {
    return Contents().at(row);
}

std::vector<ZipEntry> TinyReleaseEntries() {
    std::vector<ZipEntry> entries;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        ZipEntry entry;
        entry.name = std::string(ArchiveRootPrefix) + PayloadManifest[row].name;
        entry.data = TinyFileContent(row);
        entries.push_back(entry);
    }
    return entries;
}

std::string TinyReleaseArchive(const std::vector<ZipEntry>& entries) {
    ZipOptions options;
    options.padToSize = ReleaseArchiveSize;
    return WriteZip(entries, options);
}

}  // namespace testing
}  // namespace pelorin::setup

#include "engine/staging.h"
#include "payload/archive.h"
#include "platform/paths.h"

namespace pelorin::setup::testing {

void InstallTinyRelease() {
    const std::string archive = TinyReleaseArchive(TinyReleaseEntries());
    const std::vector<std::uint8_t> buffer(archive.begin(), archive.end());
    ZipReader reader;
    OpenReleaseArchive(reader, buffer);
    const EntryMap entries = CatalogArchive(reader);
    auto staging = CreateStagingFolder();
    std::atomic<bool> cancel{false};
    ExtractPayload(reader, entries, *staging, cancel, {});
    WriteInstallMarker(*staging, WriteUninstaller(*staging));
    PromoteStagingFolder(*staging, InstallDirectory());
}

}  // namespace pelorin::setup::testing
