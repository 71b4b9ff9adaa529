// A small ZIP writer for tests: it writes well-formed release archives and,
// entry by entry, every kind of malformed one the installer must refuse.
// DEFLATE data is written as stored DEFLATE blocks (valid, uncompressed), so
// no compressor is needed; "corrupt" data uses an invalid block type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::setup::testing {

struct ZipEntry {
    std::string name;                       // full archive name, root prefix included
    std::string data;                       // uncompressed bytes
    std::uint16_t method = 8;               // 8 = DEFLATE, 0 = stored
    std::uint16_t flags = 0x0800;           // general-purpose bits (UTF-8 names by default)
    std::uint16_t versionNeeded = 20;
    std::uint16_t versionMadeBy = 0x0314;   // Unix, 2.0
    std::uint32_t externalAttributes = 0100644u << 16;  // Unix regular file, rw-r--r--
    bool corruptDeflate = false;            // a DEFLATE stream with an invalid block type
    std::optional<std::uint32_t> crc;       // written instead of the real CRC-32
    std::optional<std::string> localName;   // name written in the local header instead
    std::optional<std::uint32_t> uncompressedSize;  // recorded instead of the real size
    // Written in the local header only, instead of what the central record says.
    std::optional<std::uint32_t> localCrc;
    std::optional<std::uint32_t> localCompressedSize;
    std::optional<std::uint32_t> localUncompressedSize;
    // Bit 3: the local header carries 0 for the CRC-32 and both sizes, and a
    // data descriptor (with its signature) follows the data.
    bool dataDescriptor = false;
    std::optional<std::uint32_t> descriptorCrc;  // written in the descriptor instead
    // The central record says 0xFFFFFFFF for both sizes and carries them in a
    // ZIP64 extended information field; nothing else in the archive is ZIP64.
    bool zip64SizesInCentralExtra = false;
};

struct ZipOptions {
    bool zip64 = false;                      // adds a ZIP64 end record and locator
    std::optional<std::uint64_t> padToSize;  // fills the archive comment up to this size
};

std::string WriteZip(const std::vector<ZipEntry>& entries, const ZipOptions& options = {});

std::uint32_t Crc32(const std::string& data);

}  // namespace pelorin::setup::testing
