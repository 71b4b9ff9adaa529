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

#include <algorithm>
#include <cstdio>
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
constexpr double TargetRatio = 1.05;

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

void Rewind(HANDLE file) {
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) Fail("seek");
}

// The bare loop: read a block, hash it, until the end.
std::string BareReadAndHash(HANDLE file, std::vector<unsigned char>& block) {
    Rewind(file);
    BareSha256 hasher;
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
    BareSha256 hasher;
    for (std::size_t at = 0; at < bytes.size(); at += FileBlockSize) {
        hasher.Update(bytes.data() + at, std::min<std::size_t>(FileBlockSize, bytes.size() - at));
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

    PairedTimes times;
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
        times.measured.push_back(m);
        times.bare.push_back(b);
        times.ratios.push_back(m / b);
        reads.push_back(TimeSeconds([&] { BareRead(file.Get(), block); }));
        inMemory.push_back(TimeSeconds([&] { BareHashInMemory(content); }));
    }

    ReportPaired(report, times, "HashFile", "bare read-and-hash loop", TargetRatio);
    report.Rate("CNG SHA-256 throughput (from memory)", static_cast<double>(FileSize) / MiB / Median(inMemory));
    report.Rate("HashFile throughput", static_cast<double>(FileSize) / MiB / Median(times.measured));
    report.Rate("ReadFile loop throughput (from the cache)", static_cast<double>(FileSize) / MiB / Median(reads));
    char written[96];
    std::snprintf(written, sizeof written, "(writing the file with WriteAll took %.3f s, once)", writeSeconds);
    report.Note(written);
}

}  // namespace pelorin::setup::bench
