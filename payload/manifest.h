// The compiled-in table of the one release this program installs, with the
// release archive's size and digest. The definitions are generated from the
// release archive at build time; every executable links exactly one release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pelorin::setup {

struct PayloadEntry {
    const char* name;    // relative name, '/' separators, UTF-8
    std::uint64_t size;  // exact size in bytes
    const char* sha256;  // 64 lowercase hexadecimal digits
};

extern const PayloadEntry PayloadManifest[];
extern const std::size_t PayloadEntryCount;
extern const std::uint64_t PayloadTotalBytes;
extern const std::uint64_t ReleaseArchiveSize;
extern const char ReleaseArchiveSha256[];

// Every archive entry name is this root folder followed by a manifest name.
inline constexpr std::string_view ArchiveRootPrefix = "Pelorin-Windows-0.5.0-win-x64/";

// The largest size of one file the archive catalogue accepts.
inline constexpr std::uint64_t MaxPayloadFileSize = 0x2800000;

}  // namespace pelorin::setup
