// Extraction of the accepted release archive into the staging folder: every
// byte written is hashed as it is written and checked against the manifest.
// Opening and cataloguing the archive (payload/catalog.h) come first.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/contract.h"
#include "payload/catalog.h"
#include "platform/sha256.h"

namespace pelorin::setup {

struct StagingFolder;

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
