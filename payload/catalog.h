// Opening and cataloguing of the release archive held in memory, and the
// inflation of its entries. Portable code: it takes bytes and returns results,
// and never touches a file; extraction to disk (payload/archive.h) builds on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace pelorin::setup {

// Owner of the ZIP reader over the download buffer. The buffer must outlive
// the reader and stay unchanged while it is open; the reader is closed when
// its owner goes.
class ZipReader {
public:
    ZipReader();
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    bool IsOpen() const noexcept;

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

// The same without the size check: VerificationFailed unless `bytes` are a
// ZIP file. The bytes must outlive the reader.
void OpenArchiveBytes(ZipReader& reader, std::span<const std::uint8_t> bytes);

// Proves that the archive holds exactly the manifest's files, DEFLATE regular
// files under the release's root folder and nothing else; VerificationFailed
// otherwise, with no detail.
EntryMap CatalogArchive(ZipReader& reader);

// Receives the inflated bytes of one entry in order; returns `length` to
// accept them, 0 to stop the inflation.
using EntryWriteFunction = std::size_t (*)(void* opaque, std::uint64_t offset, const void* data,
                                           std::size_t length) noexcept;

// Inflates entry `index` of the open reader into `write`, checking its local
// header, its size and its CRC-32 against the central directory; false when
// any of that fails or `write` refused a chunk.
bool InflateEntry(ZipReader& reader, std::int32_t index, EntryWriteFunction write, void* opaque);

// True when a chunk of `length` bytes at `offset` continues a file of
// `expected` bytes of which `written` have been accepted: no gap, no repeat,
// nothing beyond the expected size.
bool ChunkContinuesFile(std::uint64_t expected, std::uint64_t written, std::uint64_t offset,
                        std::size_t length) noexcept;

}  // namespace pelorin::setup
