#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "engine/contract.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "tools/bench/bench.h"

namespace pelorin::setup::bench {

void Fail(const std::string& what) {
    throw std::runtime_error(what + " failed");
}

double TimeSeconds(const std::function<void()>& work) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    work();
    ::QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

void Report::Section(const std::string& name, const std::string& description) {
    std::printf("\n%s: %s\n", name.c_str(), description.c_str());
}

void Report::Time(const std::string& label, double seconds) {
    std::printf("  %-44s %9.3f s\n", label.c_str(), seconds);
}

void Report::Rate(const std::string& label, double mebibytesPerSecond) {
    std::printf("  %-44s %9.1f MiB/s\n", label.c_str(), mebibytesPerSecond);
}

void Report::Size(const std::string& label, double bytes) {
    std::printf("  %-44s %9.1f MiB\n", label.c_str(), bytes / MiB);
}

void Report::Ratio(const std::string& label, double ratio, double target) {
    const bool met = ratio > 0.0 && ratio <= target;
    if (!met) {
        ++missed_;
    }
    std::printf("  %-44s %9.3f    (target at most %.2f: %s)\n", label.c_str(), ratio, target,
                met ? "met" : "NOT MET");
    std::fflush(stdout);
}

void Report::SizeLimit(const std::string& label, double bytes, double limit) {
    const bool met = bytes <= limit;
    if (!met) {
        ++missed_;
    }
    std::printf("  %-44s %9.1f MiB    (target at most %.1f MiB: %s)\n", label.c_str(), bytes / MiB, limit / MiB,
                met ? "met" : "NOT MET");
    std::fflush(stdout);
}

void Report::Note(const std::string& text) {
    std::printf("  %s\n", text.c_str());
}

ReleaseSource::ReleaseSource() : target_(ReleaseDownloadTarget()) {
    const char* port = std::getenv("PELORIN_SERVER_PORT");
    if (port != nullptr && *port != '\0') {
        char* end = nullptr;
        const unsigned long value = std::strtoul(port, &end, 10);
        if (*end != '\0' || value == 0 || value > 65535) {
            throw std::runtime_error("PELORIN_SERVER_PORT is not a port number");
        }
        target_.host = L"localhost";
        target_.port = static_cast<INTERNET_PORT>(value);
    }
}

const std::vector<std::uint8_t>& ReleaseSource::Archive() {
    if (archive_.empty()) {
        const std::atomic<bool> cancel{false};
        try {
            archive_ = DownloadArchive(target_, cancel, {});
        } catch (const Failure& failure) {
            throw std::runtime_error("downloading the release archive (is the release server running?) failed with code " +
                                     std::to_string(static_cast<int>(failure.code)));
        }
    }
    return archive_;
}

PairedTimes TimePaired(int repetitions, const std::function<double()>& measured,
                       const std::function<double()>& bare) {
    const std::vector<std::vector<double>> turns = TimeInTurns(repetitions, {measured, bare});
    PairedTimes times{turns[0], turns[1], {}};
    for (std::size_t run = 0; run < times.measured.size(); ++run) {
        times.ratios.push_back(times.measured[run] / times.bare[run]);
    }
    return times;
}

std::vector<std::vector<double>> TimeInTurns(int repetitions, const std::vector<std::function<double()>>& variants) {
    std::vector<std::vector<double>> times(variants.size(), std::vector<double>(repetitions));
    for (int run = 0; run < repetitions; ++run) {
        for (std::size_t turn = 0; turn < variants.size(); ++turn) {
            const std::size_t variant = (turn + static_cast<std::size_t>(run)) % variants.size();
            times[variant][run] = variants[variant]();
        }
    }
    return times;
}

void ReportPaired(Report& report, const PairedTimes& times, const std::string& measuredLabel,
                  const std::string& bareLabel, double target) {
    report.Time(measuredLabel, Median(times.measured));
    report.Time(bareLabel, Median(times.bare));
    report.Ratio("ratio " + measuredLabel + " / bare", Median(times.ratios), target);
    const auto [lowest, highest] = std::minmax_element(times.ratios.begin(), times.ratios.end());
    const double fastest = *std::min_element(times.measured.begin(), times.measured.end()) /
                           *std::min_element(times.bare.begin(), times.bare.end());
    char spread[128];
    std::snprintf(spread, sizeof spread, "(per-run ratios from %.3f to %.3f; fastest run of each side: %.3f)", *lowest,
                  *highest, fastest);
    report.Note(spread);
}

BareSha256::BareSha256() {
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

BareSha256::~BareSha256() {
    ::BCryptDestroyHash(hash_);
    ::BCryptCloseAlgorithmProvider(provider_, 0);
}

void BareSha256::Update(const void* bytes, std::size_t count) {
    if (::BCryptHashData(hash_, static_cast<PUCHAR>(const_cast<void*>(bytes)), static_cast<ULONG>(count), 0) != 0) {
        Fail("hashing");
    }
}

std::string BareSha256::FinishHex() {
    UCHAR digest[32];
    if (::BCryptFinishHash(hash_, digest, sizeof digest, 0) != 0) {
        Fail("finishing the hash");
    }
    return ToLowerHex(digest, sizeof digest);
}

ProductRoot::ProductRoot() : path_(ProductRootDirectory()) {
    std::vector<std::wstring> missing;
    for (std::wstring folder = path_; !PathExists(folder); folder = ParentPath(folder)) {
        missing.push_back(folder);
    }
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
        if (!::CreateDirectoryW(ToLongPath(*folder).c_str(), nullptr)) {
            Fail("creating the product root");
        }
        created_.push_back(*folder);
    }
}

ProductRoot::~ProductRoot() {
    for (auto folder = created_.rbegin(); folder != created_.rend(); ++folder) {
        ::RemoveDirectoryW(ToLongPath(*folder).c_str());
    }
}

bool InThrowawayProfile() {
    try {
        const std::wstring marker = JoinPath(KnownFolderPath(FOLDERID_Profile), L"pelorin-test-profile.marker");
        const DWORD attributes = ::GetFileAttributesW(ToLongPath(marker).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    } catch (const Failure&) {
        return false;
    }
}

bool PathExists(const std::wstring& path) {
    return ::GetFileAttributesW(ToLongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

void RemoveBelow(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileW((ToLongPath(path) + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring child = JoinPath(path, name);
        const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (folder && (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            RemoveBelow(child);
        }
        if (folder) {
            ::RemoveDirectoryW(ToLongPath(child).c_str());
        } else {
            ::DeleteFileW(ToLongPath(child).c_str());
        }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
}

}  // namespace

void RemoveTree(const std::wstring& path) {
    RemoveBelow(path);
    ::RemoveDirectoryW(ToLongPath(path).c_str());
    if (PathExists(path)) {
        Fail("removing a folder the benchmark made");
    }
}

BareTimes ReportBareSplit(Report& report, const std::vector<BareTimes>& runs) {
    std::vector<double> inflate;
    std::vector<double> hash;
    std::vector<double> write;
    for (const BareTimes& t : runs) {
        inflate.push_back(t.inflate);
        hash.push_back(t.hash);
        write.push_back(t.write);
    }
    const BareTimes medians{Median(inflate), Median(hash), Median(write)};
    report.Time("  of which inflation (in memory)", medians.inflate);
    report.Time("  of which CNG hashing", medians.hash);
    report.Time("  of which writing and flushing", medians.write);
    return medians;
}

}  // namespace pelorin::setup::bench
