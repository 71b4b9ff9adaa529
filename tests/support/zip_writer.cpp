#include "tests/support/zip_writer.h"

#include <array>
#include <stdexcept>

namespace pelorin::setup::testing {
namespace {

void Put16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void Put64(std::string& out, std::uint64_t value) {
    Put32(out, static_cast<std::uint32_t>(value));
    Put32(out, static_cast<std::uint32_t>(value >> 32));
}

// Stored DEFLATE blocks of at most 65535 bytes each.
std::string DeflateStored(const std::string& data, bool corrupt) {
    std::string out;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min<std::size_t>(65535, data.size() - offset);
        const bool last = offset + length == data.size();
        out.push_back(static_cast<char>(last ? 0x01 : 0x00));
        Put16(out, static_cast<std::uint32_t>(length));
        Put16(out, static_cast<std::uint32_t>(~length & 0xFFFF));
        out.append(data, offset, length);
        offset += length;
    } while (offset < data.size());
    if (corrupt) {
        out[0] = static_cast<char>(0x07);  // a final block of the reserved type 3
    }
    return out;
}

constexpr std::uint16_t FixedTime = 0;
constexpr std::uint16_t FixedDate = (46 << 9) | (1 << 5) | 1;  // 2026-01-01

}  // namespace

std::uint32_t Crc32(const std::string& data) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : data) crc = table[(crc ^ static_cast<std::uint8_t>(byte)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string WriteZip(const std::vector<ZipEntry>& entries, const ZipOptions& options) {
    std::string archive;
    std::string central;
    for (const ZipEntry& entry : entries) {
        const std::string compressed =
            entry.method == 8 ? DeflateStored(entry.data, entry.corruptDeflate) : entry.data;
        const std::uint32_t crc = entry.crc.value_or(Crc32(entry.data));
        const auto size = entry.uncompressedSize.value_or(static_cast<std::uint32_t>(entry.data.size()));
        const std::string& localName = entry.localName.value_or(entry.name);
        const auto offset = static_cast<std::uint32_t>(archive.size());

        const auto compressedSize = static_cast<std::uint32_t>(compressed.size());
        const auto flags = static_cast<std::uint16_t>(entry.flags | (entry.dataDescriptor ? 0x0008 : 0));

        // The fields from "version needed" to the sizes, as the local header
        // and the central directory record each say them.
        const auto fields = [&](std::uint32_t fieldCrc, std::uint32_t compressedField, std::uint32_t sizeField) {
            std::string out;
            Put16(out, entry.versionNeeded);
            Put16(out, flags);
            Put16(out, entry.method);
            Put16(out, FixedTime);
            Put16(out, FixedDate);
            Put32(out, fieldCrc);
            Put32(out, compressedField);
            Put32(out, sizeField);
            return out;
        };

        Put32(archive, 0x04034b50);
        if (entry.dataDescriptor) {
            archive += fields(0, 0, 0);
        } else {
            archive += fields(entry.localCrc.value_or(crc), entry.localCompressedSize.value_or(compressedSize),
                              entry.localUncompressedSize.value_or(size));
        }
        Put16(archive, static_cast<std::uint32_t>(localName.size()));
        Put16(archive, 0);
        archive += localName;
        archive += compressed;
        if (entry.dataDescriptor) {
            Put32(archive, 0x08074b50);
            Put32(archive, entry.descriptorCrc.value_or(crc));
            Put32(archive, compressedSize);
            Put32(archive, size);
        }

        std::string extra;
        if (entry.zip64SizesInCentralExtra) {
            Put16(extra, 0x0001);
            Put16(extra, 16);
            Put64(extra, size);
            Put64(extra, compressedSize);
        }
        Put32(central, 0x02014b50);
        Put16(central, entry.versionMadeBy);
        central += entry.zip64SizesInCentralExtra ? fields(crc, 0xFFFFFFFFu, 0xFFFFFFFFu)
                                                  : fields(crc, compressedSize, size);
        Put16(central, static_cast<std::uint32_t>(entry.name.size()));
        Put16(central, static_cast<std::uint32_t>(extra.size()));
        Put16(central, 0);  // comment
        Put16(central, 0);  // disk
        Put16(central, 0);  // internal attributes
        Put32(central, entry.externalAttributes);
        Put32(central, offset);
        central += entry.name;
        central += extra;
    }
    const auto centralOffset = static_cast<std::uint32_t>(archive.size());
    archive += central;
    const auto count = static_cast<std::uint32_t>(entries.size());

    if (options.zip64) {
        const auto zip64Offset = static_cast<std::uint64_t>(archive.size());
        Put32(archive, 0x06064b50);
        Put64(archive, 44);
        Put16(archive, 45);
        Put16(archive, 45);
        Put32(archive, 0);
        Put32(archive, 0);
        Put64(archive, count);
        Put64(archive, count);
        Put64(archive, central.size());
        Put64(archive, centralOffset);
        Put32(archive, 0x07064b50);
        Put32(archive, 0);
        Put64(archive, zip64Offset);
        Put32(archive, 1);
    }

    std::size_t commentLength = 0;
    if (options.padToSize) {
        const std::size_t withoutComment = archive.size() + 22;
        if (*options.padToSize < withoutComment || *options.padToSize - withoutComment > 0xFFFF) {
            throw std::length_error("the archive cannot be padded to the requested size");
        }
        commentLength = *options.padToSize - withoutComment;
    }
    Put32(archive, 0x06054b50);
    Put16(archive, 0);
    Put16(archive, 0);
    Put16(archive, count);
    Put16(archive, count);
    Put32(archive, static_cast<std::uint32_t>(central.size()));
    Put32(archive, centralOffset);
    Put16(archive, static_cast<std::uint32_t>(commentLength));
    archive.append(commentLength, ' ');
    return archive;
}

}  // namespace pelorin::setup::testing
