// Writes the seed corpora of the fuzz targets:
//   make_seeds OUT_DIR RELEASE_ARCHIVE [MORE_ARCHIVES...]
// archive/  the given archives, the release rewritten by the test ZIP writer
//           (plain, with data descriptors), every malformed form of it that
//           the archive tests build, and the release one byte short and long;
// names/    the manifest's names, together and one by one;
// paths/    an installation folder, alone and with each manifest name to join;
// marker/   the marker as written and every near form the marker tests build.
// The release archive must be the one the manifest was generated from. Exits
// with 1 when a form does not do what it is there for (a refusal accepted).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/contract.h"
#include "payload/catalog.h"
#include "payload/manifest.h"
#include "platform/path_rules.h"
#include "tests/support/malformed_archives.h"
#include "tests/support/marker_forms.h"
#include "tests/support/zip_writer.h"

namespace pelorin::setup::fuzzing {
namespace {

namespace fs = std::filesystem;
using testing::ZipEntry;

constexpr char SeedUninstallerDigest[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f00123456789abcdef0123456789abcdef";
constexpr std::wstring_view SeedInstallFolder = L"C:\\Users\\Пользователь\\AppData\\Local\\Programs\\Pelorin\\0.5.0";

struct SeedError {
    std::string what;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SeedError{"cannot read " + path.string()};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw SeedError{"cannot write " + path.string()};
}

// A file name made of the description: letters and digits, '-' for the rest.
std::string Slug(std::size_t number, std::string_view what) {
    std::string slug = (number < 10 ? "0" : "") + std::to_string(number) + "-";
    for (const char c : what) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        slug.push_back(plain ? c : '-');
    }
    return slug;
}

std::string Utf16Bytes(std::wstring_view text) {
    std::string bytes;
    for (const wchar_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
    }
    return bytes;
}

// UTF-16 of a UTF-8 name from the manifest (a fixed, valid text).
std::wstring Utf16FromUtf8(std::string_view text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length; ++k) point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (point >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(point));
        }
        i += length;
    }
    return out;
}

bool CatalogAccepts(std::string_view archive) {
    ZipReader reader;
    try {
        OpenArchiveBytes(reader, std::span(reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size()));
        CatalogArchive(reader);
        return true;
    } catch (const Failure&) {
        return false;
    }
}

std::size_t CollectChunk(void* opaque, std::uint64_t, const void* data, std::size_t length) noexcept {
    static_cast<std::string*>(opaque)->append(static_cast<const char*>(data), length);
    return length;
}

// The release's files as test ZIP writer entries, in manifest order.
std::vector<ZipEntry> ReleaseEntries(const std::string& archive) {
    ZipReader reader;
    EntryMap map;
    try {
        OpenArchiveBytes(reader, std::span(reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size()));
        map = CatalogArchive(reader);
    } catch (const Failure&) {
        throw SeedError{"the release archive does not match the manifest"};
    }
    std::vector<ZipEntry> entries;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        ZipEntry entry;
        entry.name = std::string(ArchiveRootPrefix) + PayloadManifest[row].name;
        if (!InflateEntry(reader, map[row], CollectChunk, &entry.data)) {
            throw SeedError{std::string("cannot inflate ") + PayloadManifest[row].name};
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

void WriteArchiveSeeds(const fs::path& folder, const std::vector<fs::path>& archives) {
    fs::create_directories(folder);
    const std::string release = ReadFile(archives.front());
    for (const fs::path& path : archives) {
        WriteFile(folder / path.filename(), ReadFile(path));
    }
    WriteFile(folder / "release-one-byte-long.zip", release + " ");
    WriteFile(folder / "release-one-byte-short.zip", std::string_view(release).substr(0, release.size() - 1));

    const std::vector<ZipEntry> entries = ReleaseEntries(release);
    std::vector<ZipEntry> described = entries;
    for (ZipEntry& entry : described) entry.dataDescriptor = true;
    for (const auto& [name, form] : {std::pair{"rewritten.zip", testing::WriteZip(entries)},
                                     std::pair{"rewritten-data-descriptors.zip", testing::WriteZip(described)}}) {
        if (!CatalogAccepts(form)) throw SeedError{std::string("the catalogue refuses ") + name};
        WriteFile(folder / name, form);
    }

    std::size_t number = 0;
    for (const auto& c : testing::CatalogRefusals()) {
        std::vector<ZipEntry> changed = entries;
        c.change(changed);
        const std::string form = testing::WriteZip(changed, c.options);
        if (CatalogAccepts(form)) throw SeedError{std::string("the catalogue accepts ") + c.what};
        WriteFile(folder / (Slug(++number, c.what) + ".zip"), form);
    }
    for (const auto& c : testing::DataRefusals()) {
        std::vector<ZipEntry> changed = entries;
        c.change(changed);
        const std::string form = testing::WriteZip(changed, c.options);
        if (!CatalogAccepts(form)) throw SeedError{std::string("the catalogue refuses ") + c.what};
        WriteFile(folder / (Slug(++number, c.what) + ".zip"), form);
    }
}

void WriteNameSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    std::string all;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        const std::string name = PayloadManifest[row].name;
        all += (row == 0 ? "" : "\n") + name;
        WriteFile(folder / Slug(row, "name"), name);
    }
    WriteFile(folder / "manifest", all);
}

void WritePathSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    const std::wstring install(SeedInstallFolder);
    WriteFile(folder / "install-folder", Utf16Bytes(install));
    WriteFile(folder / "drive-root", Utf16Bytes(L"C:\\"));
    WriteFile(folder / "long-form", Utf16Bytes(ToLongPath(install)));
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        WriteFile(folder / Slug(row, "join"),
                  Utf16Bytes(install + L'\0' + Utf16FromUtf8(PayloadManifest[row].name)));
    }
}

void WriteMarkerSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    std::size_t number = 0;
    for (const auto& form : testing::InstallMarkerForms(SeedUninstallerDigest)) {
        WriteFile(folder / Slug(++number, form.what), form.content);
    }
}

}  // namespace
}  // namespace pelorin::setup::fuzzing

int main(int argc, char** argv) {
    using namespace pelorin::setup::fuzzing;
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_seeds OUT_DIR RELEASE_ARCHIVE [MORE_ARCHIVES...]\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];
    const std::vector<std::filesystem::path> archives(argv + 2, argv + argc);
    try {
        std::filesystem::remove_all(out);
        WriteArchiveSeeds(out / "archive", archives);
        WriteNameSeeds(out / "entry_names");
        WritePathSeeds(out / "paths");
        WriteMarkerSeeds(out / "marker");
    } catch (const SeedError& error) {
        std::fprintf(stderr, "make_seeds: %s\n", error.what.c_str());
        return 1;
    }
    return 0;
}
