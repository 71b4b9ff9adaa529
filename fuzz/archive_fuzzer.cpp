// Opens and catalogues an archive held in memory against the fuzz release's
// manifest, then inflates every entry of an accepted archive through the
// extraction's chunk rule, as the installer does before a byte is written.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "payload/catalog.h"
#include "payload/manifest.h"

namespace pelorin::setup::fuzzing {
namespace {

struct CountingSink {
    std::uint64_t expected;
    std::uint64_t written;
    std::uint8_t mix;  // every delivered byte is read
};

std::size_t AcceptChunk(void* opaque, std::uint64_t offset, const void* data, std::size_t length) noexcept {
    auto& sink = *static_cast<CountingSink*>(opaque);
    if (!ChunkContinuesFile(sink.expected, sink.written, offset, length)) {
        return 0;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        sink.mix = static_cast<std::uint8_t>(sink.mix ^ bytes[i]);
    }
    sink.written += length;
    return length;
}

void CatalogAndInflate(std::span<const std::uint8_t> bytes) {
    ZipReader reader;
    OpenArchiveBytes(reader, bytes);
    const EntryMap entries = CatalogArchive(reader);

    // An accepted catalogue maps the rows onto the archive's entries one to one.
    Check(entries.size() == PayloadEntryCount, "entry map of another size");
    std::vector<bool> seen(PayloadEntryCount, false);
    for (const std::int32_t index : entries) {
        Check(index >= 0 && static_cast<std::size_t>(index) < PayloadEntryCount, "entry index out of range");
        Check(!seen[static_cast<std::size_t>(index)], "two rows on one entry");
        seen[static_cast<std::size_t>(index)] = true;
    }

    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        CountingSink sink{PayloadManifest[row].size, 0, 0};
        if (InflateEntry(reader, entries[row], AcceptChunk, &sink)) {
            // The reader checks the inflated size against the central record,
            // which the catalogue held to the manifest size.
            Check(sink.written == sink.expected, "inflation succeeded with another size");
        }
    }
}

}  // namespace
}  // namespace pelorin::setup::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pelorin::setup;
    fuzzing::AllowFailure(FailureCode::VerificationFailed,
                          [&] { fuzzing::CatalogAndInflate(std::span<const std::uint8_t>(data, size)); });
    return 0;
}
