// The memory the setup program needs to download and install the release:
// a fresh process of this program downloads the archive with DownloadArchive,
// opens and catalogues it and extracts it into a staging folder (removed
// afterwards), the way the installer does, and reports its memory counters
// before and after. The figures are the growth of the peak working set and of
// the private bytes over what the process used just before the download; the
// target is the archive's size (the download is kept in memory) plus 16 MiB.
//
// A fresh process is needed because a process's peak only ever grows: in this
// one it would still hold the peaks of earlier measurements. Besides the
// system's peak counters, a thread samples the current counters every
// millisecond, since not every system keeps the peak of the private bytes.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "engine/contract.h"
#include "engine/download.h"
#include "engine/staging.h"
#include "payload/archive.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "tools/bench/bench.h"

namespace pelorin::setup::bench {
namespace {

constexpr double AllowanceBytes = 16.0 * MiB;

struct Counters {
    std::uint64_t workingSet = 0;
    std::uint64_t peakWorkingSet = 0;
    std::uint64_t privateBytes = 0;
    std::uint64_t peakPagefile = 0;
};

Counters Query() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof counters)) {
        Fail("reading the process's memory counters");
    }
    // The private bytes are the commit charge, which the system reports as
    // PagefileUsage (PrivateUsage, its other name, is not filled everywhere).
    return Counters{counters.WorkingSetSize, counters.PeakWorkingSetSize,
                    std::max<std::uint64_t>(counters.PagefileUsage, counters.PrivateUsage), counters.PeakPagefileUsage};
}

// Keeps the highest working set and private bytes seen while it runs.
class Sampler {
public:
    Sampler() : thread_([this] { Loop(); }) {}
    ~Sampler() { Stop(); }
    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::uint64_t PeakWorkingSet() const noexcept { return peakWorkingSet_; }
    std::uint64_t PeakPrivate() const noexcept { return peakPrivate_; }

private:
    void Loop() {
        while (!stop_) {
            const Counters now = Query();
            peakWorkingSet_ = std::max<std::uint64_t>(peakWorkingSet_, now.workingSet);
            peakPrivate_ = std::max<std::uint64_t>(peakPrivate_, now.privateBytes);
            ::Sleep(1);
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> peakWorkingSet_{0};
    std::atomic<std::uint64_t> peakPrivate_{0};
    std::thread thread_;
};

void Print(const char* name, std::uint64_t value) {
    std::printf("%s %llu\n", name, static_cast<unsigned long long>(value));
}

// Runs this program with MemoryProbeArgument and returns its figures.
std::map<std::string, double> RunProbeProcess() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) Fail("creating a pipe");
    ScopedHandle reader(readEnd);
    ScopedHandle writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = L"\"" + OwnExecutablePath() + L"\" ";
    commandLine.append(MemoryProbeArgument, MemoryProbeArgument + std::strlen(MemoryProbeArgument));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &process)) {
        Fail("starting the memory probe");
    }
    const ScopedHandle processHandle(process.hProcess);
    const ScopedHandle threadHandle(process.hThread);
    writer.Close();

    std::string output;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        output.append(chunk, got);
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    if (exitCode != 0) Fail("the memory probe");

    std::map<std::string, double> figures;
    std::size_t at = 0;
    while (at < output.size()) {
        std::size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(at, end - at);
        const std::size_t space = line.find(' ');
        if (space != std::string::npos) {
            figures[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
        }
        at = end + 1;
    }
    return figures;
}

}  // namespace

int RunMemoryProbe() {
    ReleaseSource release;
    const DownloadTarget& target = release.Target();
    const ProductRoot productRoot;
    const std::atomic<bool> cancel{false};
    Sampler sampler;
    ::Sleep(20);  // let the sampler take its first figures
    const Counters before = Query();
    Counters downloaded;
    Counters extracted;
    {
        const std::vector<std::uint8_t> body = DownloadArchive(target, cancel, {});
        downloaded = Query();
        ZipReader reader;
        OpenReleaseArchive(reader, body);
        const EntryMap entries = CatalogArchive(reader);
        std::unique_ptr<StagingFolder> staging = CreateStagingFolder();
        ExtractPayload(reader, entries, *staging, cancel, {});
        extracted = Query();
        const std::wstring path = staging->path;
        staging.reset();
        if (PathExists(path)) Fail("removing the staging folder");
    }
    const Counters after = Query();
    sampler.Stop();

    Print("archive-size", target.size);
    Print("before-working-set", before.workingSet);
    Print("before-peak-working-set", before.peakWorkingSet);
    Print("before-private", before.privateBytes);
    Print("downloaded-working-set", downloaded.workingSet);
    Print("downloaded-private", downloaded.privateBytes);
    Print("extracted-working-set", extracted.workingSet);
    Print("extracted-private", extracted.privateBytes);
    Print("peak-working-set", after.peakWorkingSet);
    Print("peak-pagefile", after.peakPagefile);
    Print("sampled-peak-working-set", sampler.PeakWorkingSet());
    Print("sampled-peak-private", sampler.PeakPrivate());
    Print("after-working-set", after.workingSet);
    Print("after-private", after.privateBytes);
    std::fflush(stdout);
    return 0;
}

void RunPeakMemoryBench(Context& context) {
    Report& report = context.report;
    report.Section("peak-memory", "memory of a fresh process that downloads the release archive and catalogues\n"
                                  "  and extracts it, above what it used just before the download");

    std::map<std::string, double> f = RunProbeProcess();
    const auto figure = [&f](const char* name) {
        const auto found = f.find(name);
        if (found == f.end()) Fail(std::string("reading the probe's figure ") + name);
        return found->second;
    };
    const double limit = figure("archive-size") + AllowanceBytes;
    const double workingSetBase = figure("before-working-set");
    const double privateBase = figure("before-private");
    const double peakWorkingSet = std::max(figure("peak-working-set"), figure("sampled-peak-working-set"));
    const double peakPrivate = std::max(figure("peak-pagefile"), figure("sampled-peak-private"));

    report.Size("archive size", figure("archive-size"));
    report.Size("working set before the download", workingSetBase);
    report.Size("private bytes before the download", privateBase);
    report.SizeLimit("peak working set growth", peakWorkingSet - workingSetBase, limit);
    report.SizeLimit("peak private bytes growth", peakPrivate - privateBase, limit);
    report.Size("working set growth after the download", figure("downloaded-working-set") - workingSetBase);
    report.Size("working set growth after the extraction", figure("extracted-working-set") - workingSetBase);
    report.Size("private bytes growth after the download", figure("downloaded-private") - privateBase);
    report.Size("private bytes growth after the extraction", figure("extracted-private") - privateBase);
    report.Note("(peaks: the larger of the system's peak counter and the highest of the counters sampled");
    report.Note(" every millisecond; the staging folder is removed before the last figures)");
}

}  // namespace pelorin::setup::bench
