// HashFile over the largest file it accepts (256 MiB) against the bare cost
// of the same work: a plain loop of 64 KiB ReadFile calls on the same handle,
// each block fed straight to CNG, with no owner, table or check in between.
//
// Every run times HashFile and the bare loop back to back (which one goes
// first swaps from run to run) and the ratio reported is the median of the
// per-run ratios, so a slow spell of the machine hits both sides of a pair.
// One warm-up run of each brings the file into the system's cache first, so
// both read from the cache. The bare read loop alone and CNG hashing of the
// same bytes from memory are timed as well, for the throughput figures.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "tools/bench/bench.h"

namespace pelorin::setup::bench {
namespace {

constexpr std::uint64_t FileSize = MaxHashedFileSize;
constexpr double MiB = 1024.0 * 1024.0;
constexpr double TargetRatio = 1.05;

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + " failed");
}

// Varied bytes, so that nothing along the way can shortcut runs of zeros.
void FillVaried(std::vector<unsigned char>& bytes) {
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    for (unsigned char& b : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        b = static_cast<unsigned char>(state >> 32);
    }
}

// Raw CNG SHA-256, with no owner and no table in between.
class BareHasher {
public:
    BareHasher() {
        DWORD objectLength = 0;
        ULONG written = 0;
        if (::BCryptOpenAlgorithmProvider(&provider_, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
            ::BCryptGetProperty(provider_, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                sizeof objectLength, &written, 0) != 0) {
            Fail("opening the provider");
        }
        object_.resize(objectLength);
        if (::BCryptCreateHash(provider_, &hash_, object_.data(), objectLength, nullptr, 0, 0) != 0) {
            Fail("creating the hash");
        }
    }
    ~BareHasher() {
        ::BCryptDestroyHash(hash_);
        ::BCryptCloseAlgorithmProvider(provider_, 0);
    }
    BareHasher(const BareHasher&) = delete;
    BareHasher& operator=(const BareHasher&) = delete;

    void Update(const unsigned char* bytes, ULONG count) {
        if (::BCryptHashData(hash_, const_cast<PUCHAR>(bytes), count, 0) != 0) Fail("hashing");
    }
    std::string FinishHex() {
        UCHAR digest[32];
        if (::BCryptFinishHash(hash_, digest, sizeof digest, 0) != 0) Fail("finishing the hash");
        return ToLowerHex(digest, sizeof digest);
    }

private:
    BCRYPT_ALG_HANDLE provider_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    std::vector<UCHAR> object_;
};

void Rewind(HANDLE file) {
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) Fail("seek");
}

// The bare loop: read a block, hash it, until the end.
std::string BareReadAndHash(HANDLE file, std::vector<unsigned char>& block) {
    Rewind(file);
    BareHasher hasher;
    DWORD read = 0;
    while (::ReadFile(file, block.data(), FileBlockSize, &read, nullptr) && read > 0) {
        hasher.Update(block.data(), read);
    }
    return hasher.FinishHex();
}

void BareRead(HANDLE file, std::vector<unsigned char>& block) {
    Rewind(file);
    std::uint64_t total = 0;
    DWORD read = 0;
    while (::ReadFile(file, block.data(), FileBlockSize, &read, nullptr) && read > 0) {
        total += read;
    }
    if (total != FileSize) Fail("reading");
}

std::string BareHashInMemory(const std::vector<unsigned char>& bytes) {
    BareHasher hasher;
    for (std::size_t at = 0; at < bytes.size(); at += FileBlockSize) {
        hasher.Update(bytes.data() + at, static_cast<ULONG>(std::min<std::size_t>(FileBlockSize, bytes.size() - at)));
    }
    return hasher.FinishHex();
}

}  // namespace

void RunHashFileBench(Context& context) {
    Report& report = context.report;
    report.Section("hash-file", "HashFile over a 256 MiB file against a bare loop of 64 KiB ReadFile calls,\n"
                                "  each block hashed with CNG directly (paired runs, median of the per-run ratios)");

    const std::wstring path = JoinPath(context.workFolder, L"hash-file.bin");
    std::vector<unsigned char> content(FileSize);
    FillVaried(content);
    const double writeSeconds = TimeSeconds([&] {
        const ScopedHandle file = OpenFileChecked(path, GENERIC_WRITE, CREATE_NEW, 0);
        WriteAll(file.Get(), content.data(), content.size());
    });

    const ScopedHandle file = OpenFileChecked(path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    std::vector<unsigned char> block(FileBlockSize);

    // Warm-up, and proof that every variant digests the same bytes.
    const std::string digest = HashFile(file.Get(), FileSize);
    if (BareReadAndHash(file.Get(), block) != digest || BareHashInMemory(content) != digest) {
        Fail("comparing the digests");
    }

    std::vector<double> measured;
    std::vector<double> bare;
    std::vector<double> ratios;
    std::vector<double> reads;
    std::vector<double> inMemory;
    for (int run = 0; run < context.repetitions; ++run) {
        const auto timeMeasured = [&] { return TimeSeconds([&] { HashFile(file.Get(), FileSize); }); };
        const auto timeBare = [&] { return TimeSeconds([&] { BareReadAndHash(file.Get(), block); }); };
        double m = 0.0;
        double b = 0.0;
        if (run % 2 == 0) {
            m = timeMeasured();
            b = timeBare();
        } else {
            b = timeBare();
            m = timeMeasured();
        }
        measured.push_back(m);
        bare.push_back(b);
        ratios.push_back(m / b);
        reads.push_back(TimeSeconds([&] { BareRead(file.Get(), block); }));
        inMemory.push_back(TimeSeconds([&] { BareHashInMemory(content); }));
    }

    const auto [lowest, highest] = std::minmax_element(ratios.begin(), ratios.end());
    report.Time("HashFile", Median(measured));
    report.Time("bare read-and-hash loop", Median(bare));
    report.Ratio("ratio HashFile / bare", Median(ratios), TargetRatio);
    char spread[96];
    std::snprintf(spread, sizeof spread, "(per-run ratios from %.3f to %.3f)", *lowest, *highest);
    report.Note(spread);
    report.Rate("CNG SHA-256 throughput (from memory)", static_cast<double>(FileSize) / MiB / Median(inMemory));
    report.Rate("HashFile throughput", static_cast<double>(FileSize) / MiB / Median(measured));
    report.Rate("ReadFile loop throughput (from the cache)", static_cast<double>(FileSize) / MiB / Median(reads));
    std::snprintf(spread, sizeof spread, "(writing the file with WriteAll took %.3f s, once)", writeSeconds);
    report.Note(spread);
}

}  // namespace pelorin::setup::bench
