// Acceptance and extraction of release archives, against the tiny release.
#include "payload/archive.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/staging.h"
#include "payload/manifest.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/override_call.h"
#include "tests/support/tiny_release.h"

namespace pelorin::setup {
namespace {

using testing::FailureOf;
using testing::ZipEntry;

ZipEntry Entry(std::string name, std::string data, std::uint16_t method = 8) {
    ZipEntry entry;
    entry.name = std::move(name);
    entry.data = std::move(data);
    entry.method = method;
    return entry;
}

std::vector<std::uint8_t> Bytes(const std::string& archive) {
    return std::vector<std::uint8_t>(archive.begin(), archive.end());
}

FailureCode CatalogFailure(const std::string& archive) {
    const std::vector<std::uint8_t> buffer = Bytes(archive);
    ZipReader reader;
    return FailureOf([&] {
        OpenReleaseArchive(reader, buffer);
        CatalogArchive(reader);
    });
}

TEST(CatalogArchive, AcceptsTheReleaseInAnyOrder) {
    const std::vector<ZipEntry> entries = testing::TinyReleaseEntries();
    const std::vector<std::uint8_t> buffer = Bytes(testing::TinyReleaseArchive(entries));
    ZipReader reader;
    OpenReleaseArchive(reader, buffer);
    EXPECT_EQ(CatalogArchive(reader), (EntryMap{0, 1, 2, 3, 4, 5, 6}));

    const std::vector<ZipEntry> reversed(entries.rbegin(), entries.rend());
    const std::vector<std::uint8_t> reversedBuffer = Bytes(testing::TinyReleaseArchive(reversed));
    ZipReader reversedReader;
    OpenReleaseArchive(reversedReader, reversedBuffer);
    EXPECT_EQ(CatalogArchive(reversedReader), (EntryMap{6, 5, 4, 3, 2, 1, 0}));
}

TEST(CatalogArchive, RefusesEveryMalformedArchive) {
    const std::string prefix(ArchiveRootPrefix);
    const struct {
        const char* what;
        std::function<void(std::vector<ZipEntry>&)> change;
        testing::ZipOptions options;
    } cases[] = {
        {"a stored entry", [](auto& e) { e[2].method = 0; }, {}},
        {"no Unix mode", [](auto& e) { e[1].externalAttributes = 0; }, {}},
        {"a Unix folder mode", [](auto& e) { e[1].externalAttributes = 040755u << 16; }, {}},
        {"a Unix link mode", [](auto& e) { e[1].externalAttributes = 0120777u << 16; }, {}},
        {"the MS-DOS folder attribute", [](auto& e) { e[0].externalAttributes |= 0x10; }, {}},
        {"the reparse attribute", [](auto& e) { e[0].externalAttributes |= 0x400; }, {}},
        {"a folder entry", [&](auto& e) { e[6] = Entry(prefix + "tiny.cfg/", "", 0); }, {}},
        {"one entry too few", [](auto& e) { e.pop_back(); }, {}},
        {"one entry too many", [&](auto& e) { e.push_back(Entry(prefix + "extra.txt", "x")); }, {}},
        {"ZIP64", [](auto&) {}, {true, std::nullopt}},
        {"a wrong root folder", [](auto& e) { e[3].name = "Pelorin-Windows-0.4.0-win-x64/big.bin"; }, {}},
        {"a root folder in another case", [](auto& e) { e[3].name = "pelorin-windows-0.5.0-win-x64/big.bin"; }, {}},
        {"no root folder", [](auto& e) { e[3].name = "big.bin"; }, {}},
        {"a name in another case", [&](auto& e) { e[3].name = prefix + "Big.bin"; }, {}},
        {"a name not in the manifest", [&](auto& e) { e[3].name = prefix + "big.bin2"; }, {}},
        {"a duplicate name", [](auto& e) { e[2] = e[1]; }, {}},
        {"an invalid name", [&](auto& e) { e[6].name = prefix + "tiny.cfg."; }, {}},
        {"a non-ASCII name without the UTF-8 flag", [](auto& e) { e[5].flags = 0; }, {}},
        {"version needed 4.5", [](auto& e) { e[0].versionNeeded = 45; }, {}},
        {"the encryption bit", [](auto& e) { e[0].flags |= 0x0001; }, {}},
        {"the strong encryption bit", [](auto& e) { e[0].flags |= 0x0040; }, {}},
        {"the masked directory bit", [](auto& e) { e[0].flags |= 0x2000; }, {}},
        {"a local name that differs", [&](auto& e) { e[4].localName = prefix + "licenses/config.jsoN"; }, {}},
        {"a size that differs from the manifest", [](auto& e) { e[6].data += "!"; }, {}},
        {"a local CRC-32 that differs from the central record",
         [](auto& e) { e[2].localCrc = testing::Crc32(e[2].data) ^ 1u; }, {}},
        {"a local compressed size that differs from the central record",
         [](auto& e) { e[2].localCompressedSize = 1; }, {}},
        {"a local size that differs from the central record",
         [](auto& e) { e[2].localUncompressedSize = static_cast<std::uint32_t>(e[2].data.size() + 1); }, {}},
        {"a data descriptor whose CRC-32 differs from the central record",
         [](auto& e) {
             e[3].dataDescriptor = true;
             e[3].descriptorCrc = testing::Crc32(e[3].data) ^ 1u;
         },
         {}},
        {"ZIP64 sizes in a central extra field only", [](auto& e) { e[1].zip64SizesInCentralExtra = true; }, {}},
    };
    for (const auto& c : cases) {
        std::vector<ZipEntry> entries = testing::TinyReleaseEntries();
        c.change(entries);
        testing::ZipOptions options = c.options;
        options.padToSize = ReleaseArchiveSize;
        EXPECT_EQ(CatalogFailure(testing::WriteZip(entries, options)), FailureCode::VerificationFailed) << c.what;
    }
}

TEST(OpenReleaseArchive, RefusesAWrongSizeOrNoArchive) {
    std::string archive = testing::TinyReleaseArchive(testing::TinyReleaseEntries());
    archive.push_back(' ');
    EXPECT_EQ(CatalogFailure(archive), FailureCode::VerificationFailed) << "one byte long";
    archive.resize(archive.size() - 2);
    EXPECT_EQ(CatalogFailure(archive), FailureCode::VerificationFailed) << "one byte short";
    EXPECT_EQ(CatalogFailure(std::string(ReleaseArchiveSize, 'x')), FailureCode::VerificationFailed);
}

// Extraction runs in a staging folder in the product root of the test profile.
class Extraction : public ::testing::Test {
protected:
    void SetUp() override { testing::ResetProductRoot(); }
    void TearDown() override { testing::ResetProductRoot(); }

    // Catalogues and extracts `entries`; returns the failure code.
    FailureCode Extract(const std::vector<ZipEntry>& entries, const std::atomic<bool>& cancel,
                        const ProgressFunction& progress = {}) {
        const std::vector<std::uint8_t> buffer = Bytes(testing::TinyReleaseArchive(entries));
        ZipReader reader;
        return FailureOf([&] {
            OpenReleaseArchive(reader, buffer);
            const EntryMap map = CatalogArchive(reader);
            auto staging = CreateStagingFolder();
            stagingPath_ = staging->path;
            ExtractPayload(reader, map, *staging, cancel, progress);
            for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
                extracted_.push_back(testing::ReadFileBytes(JoinPath(staging->path, Utf8ToWide(PayloadManifest[row].name))));
            }
        });
    }

    std::wstring stagingPath_;
    std::vector<std::string> extracted_;
};

TEST_F(Extraction, WritesEveryFileWithOneReportEach) {
    std::atomic<bool> cancel{false};
    std::vector<Progress> reports;
    ASSERT_EQ(Extract(testing::TinyReleaseEntries(), cancel, [&](const Progress& p) { reports.push_back(p); }),
              FailureCode::None);
    ASSERT_EQ(extracted_.size(), PayloadEntryCount);
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        EXPECT_EQ(extracted_[row], testing::TinyFileContent(row)) << PayloadManifest[row].name;
    }
    ASSERT_EQ(reports.size(), PayloadEntryCount);
    std::uint64_t done = 0;
    for (std::size_t row = 0; row < reports.size(); ++row) {
        done += PayloadManifest[row].size;
        EXPECT_EQ(reports[row].stage, Stage::Installing);
        EXPECT_EQ(reports[row].done, done);
        EXPECT_EQ(reports[row].total, PayloadTotalBytes);
        EXPECT_TRUE(reports[row].cancellable);
    }
    // The staging folder was not committed, so its owner removed it.
    EXPECT_FALSE(testing::PathExists(stagingPath_));
}

// Entries whose sizes and CRC-32 follow their data in a data descriptor
// (bit 3) are as good as any other.
TEST_F(Extraction, EntriesWithADataDescriptorAreAccepted) {
    std::vector<ZipEntry> entries = testing::TinyReleaseEntries();
    for (ZipEntry& entry : entries) entry.dataDescriptor = true;
    std::atomic<bool> cancel{false};
    ASSERT_EQ(Extract(entries, cancel), FailureCode::None);
    ASSERT_EQ(extracted_.size(), PayloadEntryCount);
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        EXPECT_EQ(extracted_[row], testing::TinyFileContent(row)) << PayloadManifest[row].name;
    }
}

TEST_F(Extraction, BadDataFailsAndLeavesNothing) {
    const struct {
        const char* what;
        std::function<void(std::vector<ZipEntry>&)> change;
    } cases[] = {
        {"corrupt DEFLATE data", [](auto& e) { e[3].corruptDeflate = true; }},
        {"a wrong CRC-32", [](auto& e) { e[3].crc = 12345u; }},
        {"right size and CRC, wrong content", [](auto& e) { e[3].data[70000] ^= 0x01; }},
    };
    for (const auto& c : cases) {
        std::vector<ZipEntry> entries = testing::TinyReleaseEntries();
        c.change(entries);
        std::atomic<bool> cancel{false};
        EXPECT_EQ(Extract(entries, cancel), FailureCode::VerificationFailed) << c.what;
        EXPECT_FALSE(testing::PathExists(stagingPath_)) << c.what;
        EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory())) << c.what;
    }
}

TEST_F(Extraction, CancelStopsAtTheNextFileOrChunk) {
    for (const std::size_t after : {std::size_t{1}, std::size_t{3}}) {
        std::atomic<bool> cancel{false};
        std::size_t seen = 0;
        const FailureCode code = Extract(testing::TinyReleaseEntries(), cancel, [&](const Progress&) {
            if (++seen == after) cancel = true;
        });
        EXPECT_EQ(code, FailureCode::Cancelled);
        EXPECT_EQ(seen, after);
        EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory()));
    }
    // A cancel that arrives inside a file (the fourth, written in several
    // chunks) stops it at its next chunk.
    std::atomic<bool> cancel{false};
    int writes = 0;
    std::size_t reports = 0;
    testing::OverrideCall<BOOL(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)> counting(
        SystemCalls().WriteFile, [&](HANDLE h, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED o) -> BOOL {
            if (++writes == 4) cancel = true;
            return ::WriteFile(h, data, n, written, o);
        });
    EXPECT_EQ(Extract(testing::TinyReleaseEntries(), cancel, [&](const Progress&) { ++reports; }),
              FailureCode::Cancelled);
    EXPECT_EQ(reports, 3u);
    EXPECT_EQ(writes, 4) << "no chunk after the cancel is written";
    EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory()));
}

TEST_F(Extraction, FullDiskOrFailedFlushIsAFailedWrite) {
    {
        testing::OverrideCall<BOOL(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)> full(
            SystemCalls().WriteFile, [](HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) -> BOOL {
                if (written) *written = 0;
                ::SetLastError(ERROR_DISK_FULL);
                return FALSE;
            });
        std::atomic<bool> cancel{false};
        EXPECT_EQ(Extract(testing::TinyReleaseEntries(), cancel), FailureCode::WriteFailed);
    }
    EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory()));
    {
        int flushes = 0;
        testing::OverrideCall<BOOL(HANDLE)> failing(SystemCalls().FlushFileBuffers, [&](HANDLE h) -> BOOL {
            if (++flushes == 4) {
                ::SetLastError(ERROR_IO_DEVICE);
                return FALSE;
            }
            return ::FlushFileBuffers(h);
        });
        std::atomic<bool> cancel{false};
        EXPECT_EQ(Extract(testing::TinyReleaseEntries(), cancel), FailureCode::WriteFailed);
        EXPECT_EQ(flushes, 4);
    }
    EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory()));
}

TEST(WriteExtractedChunk, AcceptsOnlyTheNextBytesThatFit) {
    std::atomic<bool> cancel{false};
    testing::OverrideCall<BOOL(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)> sinkWrites(
        SystemCalls().WriteFile, [](HANDLE, LPCVOID, DWORD n, LPDWORD written, LPOVERLAPPED) -> BOOL {
            *written = n;
            return TRUE;
        });
    ExtractSink sink{nullptr, Sha256(), 10, 0, &cancel, false};
    const char data[10] = {};
    EXPECT_EQ(WriteExtractedChunk(&sink, 0, data, 4), 4u);
    EXPECT_EQ(WriteExtractedChunk(&sink, 0, data, 2), 0u) << "a repeat";
    EXPECT_EQ(WriteExtractedChunk(&sink, 5, data, 2), 0u) << "a gap";
    EXPECT_EQ(WriteExtractedChunk(&sink, 4, data, 7), 0u) << "beyond the manifest size";
    EXPECT_EQ(WriteExtractedChunk(&sink, 4, data, 6), 6u);
    EXPECT_EQ(sink.written, 10u);
    EXPECT_FALSE(sink.writeFailed);
    cancel = true;
    ExtractSink cancelled{nullptr, Sha256(), 10, 0, &cancel, false};
    EXPECT_EQ(WriteExtractedChunk(&cancelled, 0, data, 4), 0u);
}

}  // namespace
}  // namespace pelorin::setup
