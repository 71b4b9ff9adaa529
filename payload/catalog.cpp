// The one translation unit that includes the ZIP reader with its definitions.
#define MINIZ_NO_STDIO
#define MINIZ_NO_TIME
#define MINIZ_NO_ARCHIVE_WRITING_APIS
#define MINIZ_NO_ZLIB_COMPATIBLE_NAMES
#include <miniz.h>

#include "payload/catalog.h"

#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "engine/contract.h"
#include "payload/entry_names.h"
#include "payload/manifest.h"

namespace pelorin::setup {

struct ZipReader::State {
    mz_zip_archive archive;
    bool open = false;
};

ZipReader::ZipReader() : state_(std::make_unique<State>()) {
    std::memset(&state_->archive, 0, sizeof(state_->archive));
}

ZipReader::~ZipReader() {
    if (state_->open) {
        mz_zip_reader_end(&state_->archive);
    }
}

bool ZipReader::IsOpen() const noexcept {
    return state_->open;
}

namespace {

constexpr mz_uint16 ForbiddenBitFlags = 0x0001 | 0x0040 | 0x2000;  // encrypted, strong encryption, masked directory
constexpr mz_uint16 Utf8NamesFlag = 0x0800;
constexpr mz_uint32 UnixRegularFileType = 8;
constexpr mz_uint32 DosDirectoryAttribute = 0x10;
constexpr mz_uint32 ReparsePointAttribute = 0x400;
constexpr mz_uint MaxNameBufferLength = 512;
constexpr mz_uint16 MaxVersionNeeded = 44;

[[noreturn]] void Reject() {
    ThrowFailure(FailureCode::VerificationFailed);
}

void Require(bool condition) {
    if (!condition) {
        Reject();
    }
}

bool AllAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// The entry's name, read into a buffer of exactly the announced size.
std::string EntryName(mz_zip_archive& archive, mz_uint index) {
    const mz_uint length = mz_zip_reader_get_filename(&archive, index, nullptr, 0);
    Require(length >= 2 && length <= MaxNameBufferLength);
    std::string buffer(length, '\0');
    Require(mz_zip_reader_get_filename(&archive, index, buffer.data(), length) == length);
    Require(buffer.back() == '\0');
    buffer.pop_back();
    Require(buffer.find('\0') == std::string::npos);
    return buffer;
}

// Closes the reader if it is open and zero-fills its record.
void CloseAndClear(ZipReader::State& state) noexcept {
    if (state.open) {
        mz_zip_reader_end(&state.archive);
        state.open = false;
    }
    std::memset(&state.archive, 0, sizeof(state.archive));
}

}  // namespace

void OpenReleaseArchive(ZipReader& reader, const std::vector<std::uint8_t>& buffer) {
    CloseAndClear(reader.state());
    Require(buffer.size() == ReleaseArchiveSize);
    OpenArchiveBytes(reader, buffer);
}

void OpenArchiveBytes(ZipReader& reader, std::span<const std::uint8_t> bytes) {
    ZipReader::State& state = reader.state();
    CloseAndClear(state);
    Require(mz_zip_reader_init_mem(&state.archive, bytes.data(), bytes.size(), 0) != MZ_FALSE);
    state.open = true;
}

EntryMap CatalogArchive(ZipReader& reader) {
    ZipReader::State& state = reader.state();
    Require(state.open);
    mz_zip_archive& archive = state.archive;
    Require(mz_zip_is_zip64(&archive) == MZ_FALSE);
    Require(mz_zip_reader_get_num_files(&archive) == PayloadEntryCount);

    std::map<std::string_view, std::size_t, std::less<>> manifestIndex;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        Require(IsValidEntryName(PayloadManifest[row].name));
        manifestIndex.emplace(PayloadManifest[row].name, row);
    }

    EntryMap entries(PayloadEntryCount, -1);
    std::uint64_t sum = 0;
    std::vector<std::string> accepted;
    accepted.reserve(PayloadEntryCount);
    for (mz_uint index = 0; index < PayloadEntryCount; ++index) {
        mz_zip_archive_file_stat stat;
        Require(mz_zip_reader_file_stat(&archive, index, &stat) != MZ_FALSE);
        const std::string name = EntryName(archive, index);
        Require(name.starts_with(ArchiveRootPrefix));
        const std::string_view relative = std::string_view(name).substr(ArchiveRootPrefix.size());
        Require(IsValidEntryName(relative));
        const auto found = manifestIndex.find(relative);
        Require(found != manifestIndex.end());
        const std::size_t row = found->second;
        Require(stat.m_is_directory == MZ_FALSE);
        Require(stat.m_is_encrypted == MZ_FALSE);
        Require(stat.m_is_supported != MZ_FALSE);
        Require(stat.m_method == MZ_DEFLATED);
        Require((stat.m_bit_flag & ForbiddenBitFlags) == 0);
        Require(stat.m_version_needed <= MaxVersionNeeded);
        Require((stat.m_external_attr >> 28) == UnixRegularFileType);
        Require((stat.m_external_attr & (DosDirectoryAttribute | ReparsePointAttribute)) == 0);
        Require(stat.m_uncomp_size <= MaxPayloadFileSize);
        Require(stat.m_uncomp_size == PayloadManifest[row].size);
        Require(stat.m_comp_size <= ReleaseArchiveSize);
        Require(entries[row] == -1);
        Require((stat.m_bit_flag & Utf8NamesFlag) != 0 || AllAscii(relative));
        Require(sum + stat.m_uncomp_size <= PayloadTotalBytes);
        entries[row] = static_cast<std::int32_t>(index);
        accepted.emplace_back(relative);
        sum += stat.m_uncomp_size;
    }
    Require(sum == PayloadTotalBytes);
    Require(CheckNameSet(accepted));
    Require(mz_zip_validate_archive(&archive, MZ_ZIP_FLAG_VALIDATE_HEADERS_ONLY) != MZ_FALSE);
    return entries;
}

namespace {

struct InflateTarget {
    EntryWriteFunction write;
    void* opaque;
};

size_t ForwardInflatedChunk(void* opaque, mz_uint64 offset, const void* data, size_t length) {
    const auto& target = *static_cast<const InflateTarget*>(opaque);
    return target.write(target.opaque, offset, data, length);
}

}  // namespace

bool InflateEntry(ZipReader& reader, std::int32_t index, EntryWriteFunction write, void* opaque) {
    ZipReader::State& state = reader.state();
    if (!state.open || index < 0) {
        return false;
    }
    InflateTarget target{write, opaque};
    return mz_zip_reader_extract_to_callback(&state.archive, static_cast<mz_uint>(index), ForwardInflatedChunk,
                                             &target, 0) != MZ_FALSE;
}

bool ChunkContinuesFile(std::uint64_t expected, std::uint64_t written, std::uint64_t offset,
                        std::size_t length) noexcept {
    if (offset != written) {
        return false;  // a gap or a repeat
    }
    return length <= expected - written;
}

}  // namespace pelorin::setup
