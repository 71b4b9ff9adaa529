#include "tests/support/malformed_archives.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "payload/manifest.h"

namespace pelorin::setup::testing {
namespace {

const std::string Prefix(ArchiveRootPrefix);

ZipEntry Entry(std::string name, std::string data, std::uint16_t method = 8) {
    ZipEntry entry;
    entry.name = std::move(name);
    entry.data = std::move(data);
    entry.method = method;
    return entry;
}

// The entry's name without the root folder.
std::string Relative(const ZipEntry& entry) {
    return entry.name.substr(Prefix.size());
}

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char FlipCase(char c) {
    return static_cast<char>(c ^ 0x20);
}

// The name with the case of its first (or last) ASCII letter of the relative
// part changed.
std::string FlipLetter(const ZipEntry& entry, bool last) {
    std::string name = entry.name;
    const auto isLetter = [](char c) { return IsAsciiLetter(c); };
    const auto relativeStart = name.begin() + static_cast<std::ptrdiff_t>(Prefix.size());
    if (last) {
        const auto found = std::find_if(name.rbegin(), std::make_reverse_iterator(relativeStart), isLetter);
        if (found == std::make_reverse_iterator(relativeStart)) throw std::invalid_argument("no letter: " + name);
        *found = FlipCase(*found);
    } else {
        const auto found = std::find_if(relativeStart, name.end(), isLetter);
        if (found == name.end()) throw std::invalid_argument("no letter: " + name);
        *found = FlipCase(*found);
    }
    return name;
}

ZipEntry& NonAsciiNamed(std::vector<ZipEntry>& entries) {
    const auto found = std::find_if(entries.begin(), entries.end(), [](const ZipEntry& entry) {
        return std::any_of(entry.name.begin(), entry.name.end(),
                           [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    });
    if (found == entries.end()) throw std::invalid_argument("the release has no non-ASCII name");
    return *found;
}

ZipEntry& Largest(std::vector<ZipEntry>& entries) {
    return *std::max_element(entries.begin(), entries.end(), [](const ZipEntry& a, const ZipEntry& b) {
        return a.data.size() < b.data.size();
    });
}

}  // namespace

std::vector<ArchiveChange> CatalogRefusals() {
    return {
        {"a stored entry", [](auto& e) { e[2].method = 0; }, {}},
        {"no Unix mode", [](auto& e) { e[1].externalAttributes = 0; }, {}},
        {"a Unix folder mode", [](auto& e) { e[1].externalAttributes = 040755u << 16; }, {}},
        {"a Unix link mode", [](auto& e) { e[1].externalAttributes = 0120777u << 16; }, {}},
        {"the MS-DOS folder attribute", [](auto& e) { e[0].externalAttributes |= 0x10; }, {}},
        {"the reparse attribute", [](auto& e) { e[0].externalAttributes |= 0x400; }, {}},
        {"a folder entry", [](auto& e) { e.back() = Entry(e.back().name + "/", "", 0); }, {}},
        {"one entry too few", [](auto& e) { e.pop_back(); }, {}},
        {"one entry too many", [](auto& e) { e.push_back(Entry(Prefix + "extra.txt", "x")); }, {}},
        {"ZIP64", [](auto&) {}, {true, std::nullopt}},
        {"a wrong root folder", [](auto& e) { e[3].name = "Pelorin-Windows-0.4.0-win-x64/" + Relative(e[3]); }, {}},
        {"a root folder in another case",
         [](auto& e) { e[3].name = "pelorin-windows-0.5.0-win-x64/" + Relative(e[3]); }, {}},
        {"no root folder", [](auto& e) { e[3].name = Relative(e[3]); }, {}},
        {"a name in another case", [](auto& e) { e[3].name = FlipLetter(e[3], false); }, {}},
        {"a name not in the manifest", [](auto& e) { e[3].name += "2"; }, {}},
        {"a duplicate name", [](auto& e) { e[2] = e[1]; }, {}},
        {"an invalid name", [](auto& e) { e.back().name += "."; }, {}},
        {"a non-ASCII name without the UTF-8 flag", [](auto& e) { NonAsciiNamed(e).flags = 0; }, {}},
        {"version needed 4.5", [](auto& e) { e[0].versionNeeded = 45; }, {}},
        {"the encryption bit", [](auto& e) { e[0].flags |= 0x0001; }, {}},
        {"the strong encryption bit", [](auto& e) { e[0].flags |= 0x0040; }, {}},
        {"the masked directory bit", [](auto& e) { e[0].flags |= 0x2000; }, {}},
        {"a local name that differs", [](auto& e) { e[4].localName = FlipLetter(e[4], true); }, {}},
        {"a size that differs from the manifest", [](auto& e) { e.back().data += "!"; }, {}},
        {"a local CRC-32 that differs from the central record",
         [](auto& e) { e[2].localCrc = Crc32(e[2].data) ^ 1u; }, {}},
        {"a local compressed size that differs from the central record",
         [](auto& e) { e[2].localCompressedSize = 1; }, {}},
        {"a local size that differs from the central record",
         [](auto& e) { e[2].localUncompressedSize = static_cast<std::uint32_t>(e[2].data.size() + 1); }, {}},
        {"a data descriptor whose CRC-32 differs from the central record",
         [](auto& e) {
             e[3].dataDescriptor = true;
             e[3].descriptorCrc = Crc32(e[3].data) ^ 1u;
         },
         {}},
        {"ZIP64 sizes in a central extra field only", [](auto& e) { e[1].zip64SizesInCentralExtra = true; }, {}},
    };
}

std::vector<ArchiveChange> DataRefusals() {
    return {
        {"corrupt DEFLATE data", [](auto& e) { Largest(e).corruptDeflate = true; }, {}},
        {"a wrong CRC-32", [](auto& e) { Largest(e).crc = 12345u; }, {}},
        {"right size and CRC, wrong content",
         [](auto& e) {
             std::string& data = Largest(e).data;
             data[data.size() / 2] ^= 0x01;
         },
         {}},
    };
}

}  // namespace pelorin::setup::testing
