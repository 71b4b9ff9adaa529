// The benchmark program's small framework: a work folder, a clock, medians,
// paired runs, bare primitives to compare with, and a report that prints every
// figure as a ratio or a rate measured side by side in the same run, so that
// the speed of the machine cancels out.
//
// To add a measurement: write a function `void RunSomething(Context&)` in a
// file of its own, declare it below and add it to the table in bench_main.cpp.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/download.h"

namespace pelorin::setup::bench {

// Throws the error the program reports: `what` + " failed".
[[noreturn]] void Fail(const std::string& what);

// Seconds taken by `work`, from the high-resolution counter.
double TimeSeconds(const std::function<void()>& work);

double Median(std::vector<double> values);

inline constexpr double MiB = 1024.0 * 1024.0;

// Where a measurement prints its figures.
class Report {
public:
    // Opens a section for one measurement.
    void Section(const std::string& name, const std::string& description);
    void Time(const std::string& label, double seconds);
    void Rate(const std::string& label, double mebibytesPerSecond);
    void Size(const std::string& label, double bytes);
    // A ratio of measured to bare cost, with the target it must not exceed.
    void Ratio(const std::string& label, double ratio, double target);
    // A measured size with the largest size it may reach.
    void SizeLimit(const std::string& label, double bytes, double limit);
    void Note(const std::string& text);

    int TargetsMissed() const noexcept { return missed_; }

private:
    int missed_ = 0;
};

// The release archive as the local release server serves it: from
// "localhost" at the port in PELORIN_SERVER_PORT, or from the compiled-in
// endpoint when that is not set.
class ReleaseSource {
public:
    ReleaseSource();
    ReleaseSource(const ReleaseSource&) = delete;
    ReleaseSource& operator=(const ReleaseSource&) = delete;

    const DownloadTarget& Target() const noexcept { return target_; }
    // The archive's bytes, downloaded with DownloadArchive (so of the right
    // size and digest) on first use and kept for the rest of the run.
    const std::vector<std::uint8_t>& Archive();

private:
    DownloadTarget target_;
    std::vector<std::uint8_t> archive_;
};

// What every measurement gets.
struct Context {
    std::wstring workFolder;  // an empty folder of its own, removed afterwards
    int repetitions;          // runs of each variant; medians are reported
    Report& report;
    ReleaseSource& release;
};

// Times of paired runs: in every run the measured and the bare variant run
// back to back, which one goes first swapping from run to run, so that a slow
// spell of the machine hits both sides of a pair.
struct PairedTimes {
    std::vector<double> measured;
    std::vector<double> bare;
    std::vector<double> ratios;  // measured / bare, per run
};

// Each function does one run of its variant and returns the seconds of the
// part that counts (set-up and clean-up around it are not timed).
PairedTimes TimePaired(int repetitions, const std::function<double()>& measured,
                       const std::function<double()>& bare);

// The same for several variants: every run times each of them once, the
// order rotating from run to run. Returns the times of each variant, in the
// order given.
std::vector<std::vector<double>> TimeInTurns(int repetitions, const std::vector<std::function<double()>>& variants);

// Prints both medians, the median of the per-run ratios against `target`, and
// the spread of the per-run ratios.
void ReportPaired(Report& report, const PairedTimes& times, const std::string& measuredLabel,
                  const std::string& bareLabel, double target);

// SHA-256 straight through CNG, with no owner or table in between: the bare
// cost that the product's hashing is compared with.
class BareSha256 {
public:
    BareSha256();
    ~BareSha256();
    BareSha256(const BareSha256&) = delete;
    BareSha256& operator=(const BareSha256&) = delete;

    void Update(const void* bytes, std::size_t count);
    std::string FinishHex();

private:
    BCRYPT_ALG_HANDLE provider_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    std::vector<UCHAR> object_;
};

// The product root of the profile, for the measurements that work there (a
// staging folder, an installation). Folders of its chain that it had to
// create are removed again, when empty, when it goes.
class ProductRoot {
public:
    ProductRoot();
    ~ProductRoot();
    ProductRoot(const ProductRoot&) = delete;
    ProductRoot& operator=(const ProductRoot&) = delete;

    const std::wstring& Path() const noexcept { return path_; }

private:
    std::wstring path_;
    std::vector<std::wstring> created_;
};

// Leaves the profile as if the product had never been installed: no product
// root, no data folder, no shortcuts, no uninstall entry.
void ResetProductState();

// Resets the product state when it comes and when it goes, so that no
// measurement leaves an installation behind, whatever happened.
class CleanProductState {
public:
    CleanProductState();
    ~CleanProductState();
    CleanProductState(const CleanProductState&) = delete;
    CleanProductState& operator=(const CleanProductState&) = delete;
};

// True when the profile is a throwaway one made and marked by the harness.
bool InThrowawayProfile();

bool PathExists(const std::wstring& path);

// Deletes a folder made by a measurement with everything below it.
void RemoveTree(const std::wstring& path);

// Bare pieces that more than one measurement compares with.

// The bare WinHTTP fetch of the download measurement: the same request with
// the same options, read in 64 KiB pieces into `block` (resized when
// smaller), nothing else done with them. Returns the body bytes read.
std::uint64_t BareDownload(const DownloadTarget& target, std::vector<std::uint8_t>& block);

// Times of the parts of a bare extraction.
struct BareTimes {
    double inflate = 0.0;
    double hash = 0.0;
    double write = 0.0;
    double Sum() const { return inflate + hash + write; }
};

// Prints the medians of the three parts of the bare extraction's runs and
// returns them.
BareTimes ReportBareSplit(Report& report, const std::vector<BareTimes>& runs);

// The bare extraction of the extract measurement, prepared once for an
// archive in memory and a folder `root` to write into: every entry inflated
// in memory, hashed with CNG and written to a new file (64 KiB WriteFile,
// FlushFileBuffers), its folders created first.
class BareExtraction {
public:
    BareExtraction(const std::vector<std::uint8_t>& archive, const std::wstring& root);
    ~BareExtraction();
    BareExtraction(const BareExtraction&) = delete;
    BareExtraction& operator=(const BareExtraction&) = delete;

    // One extraction into the root, which must not exist yet (the caller
    // removes it afterwards); the time of each part.
    BareTimes Run();

private:
    struct Prepared;
    std::unique_ptr<Prepared> prepared_;
};

// A file the bare read-and-hash loop reads.
struct BareFile {
    std::wstring longPath;
    std::string sha256;  // empty: read and hash, compare with nothing
};

// Every file of the installation in `directory`: the manifest's files with
// their digests, the uninstaller with `uninstallerDigest` (may be empty) and
// the install marker.
std::vector<BareFile> InstalledFiles(const std::wstring& directory, const std::string& uninstallerDigest);

// Plain CreateFileW, 64 KiB ReadFile calls into `block` (FileBlockSize
// bytes), each fed to CNG, the digest compared when one is given.
void BareReadAndHash(const std::vector<BareFile>& files, std::vector<unsigned char>& block);

// The measurements.
void RunHashFileBench(Context& context);
void RunDownloadBench(Context& context);
void RunExtractBench(Context& context);
void RunVerifyBench(Context& context);
void RunPeakMemoryBench(Context& context);
void RunInstallBench(Context& context);
void RunReregisterBench(Context& context);
void RunLaunchBench(Context& context);
void RunUninstallBench(Context& context);
void RunWindowBench(Context& context);

// The line a measurement prints for the harness to pick up a figure:
// "bench-value <name> <value>".
void PrintValue(const std::string& name, const std::string& value);

// The peak-memory measurement runs in a fresh process of this program (the
// peak of a process only ever grows); this is that process's work.
inline constexpr char MemoryProbeArgument[] = "--memory-probe";
int RunMemoryProbe();

}  // namespace pelorin::setup::bench
