// Acceptance and extraction of release archives, against the tiny release.
#include "payload/archive.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/staging.h"
#include "payload/manifest.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/malformed_archives.h"
#include "tests/support/override_call.h"
#include "tests/support/tiny_release.h"

namespace pelorin::setup {
namespace {

using testing::FailureOf;
using testing::ZipEntry;

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
    for (const auto& c : testing::CatalogRefusals()) {
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
    for (const auto& c : testing::DataRefusals()) {
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
