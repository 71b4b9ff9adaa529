// Acceptance and extraction of the release archive, read from memory. The
// archive's central directory must describe exactly the manifest's files;
// every byte written to the staging folder is hashed as it is written and
// checked against the manifest.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/contract.h"
#include "platform/sha256.h"

namespace pelorin::setup {

struct StagingFolder;

// Owner of the ZIP reader over the download buffer. The buffer must outlive
// the reader and stay unchanged while it is open; the reader is closed when
// its owner goes.
class ZipReader {
public:
    ZipReader();
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    struct State;
    State& state() noexcept { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// For each manifest row, the archive's file index of that row's entry.
using EntryMap = std::vector<std::int32_t>;

// Opens the reader over the buffer; VerificationFailed unless the buffer holds
// exactly the release archive's size and is a ZIP file.
void OpenReleaseArchive(ZipReader& reader, const std::vector<std::uint8_t>& buffer);

// Proves that the archive holds exactly the manifest's files, DEFLATE regular
// files under the release's root folder and nothing else; VerificationFailed
// otherwise, with no detail.
EntryMap CatalogArchive(ZipReader& reader);

// Writes every manifest file into the staging folder in manifest order, with
// one Installing report after each file.
void ExtractPayload(ZipReader& reader, const EntryMap& entries, StagingFolder& staging,
                    const std::atomic<bool>& cancel, const ProgressFunction& progress);

// The state of one file being extracted, handed to the reader's callback.
struct ExtractSink {
    HANDLE file;                       // not owned
    Sha256 hasher;                     // running digest of the bytes accepted
    std::uint64_t expected;            // the manifest size
    std::uint64_t written;             // bytes accepted so far
    const std::atomic<bool>* cancel;   // read before every chunk
    bool writeFailed;                  // a write or hash of a chunk threw
};

// The reader's write callback: accepts the chunk (returns its length) only
// when it continues the file exactly and fits the manifest size; 0 otherwise.
// Never lets an exception out.
std::size_t WriteExtractedChunk(void* opaque, std::uint64_t offset, const void* data, std::size_t length) noexcept;

}  // namespace pelorin::setup
