// The setup program's whole operations, end to end, each against the bare
// cost of the bytes it has to move:
//
//   install     a fresh Install of the release from the local release server
//               (the product state reset before every run, not timed) against
//               the sum of the bare WinHTTP fetch of the same archive from the
//               same server and the bare extraction of it (inflation in
//               memory, CNG hashing, plain writes with FlushFileBuffers, also
//               in the product root), each part timed on its own;
//   reregister  Install over an intact installation (verified and registered
//               again) against a plain read-and-hash of the installed files;
//   launch      LaunchApplication (verification, then the start) against the
//               same read-and-hash; the started application is made to exit,
//               and its session lock seen free again, outside the timed part;
//   uninstall   Uninstall of an installation made by a fresh Install before
//               every run (not timed): its total time and its time per removed
//               file, with plain deletion of the same tree for reference.
//
// Re-registration and launch also time VerifyInstalledTree alone in the same
// runs, for reference: what is left above it is the operation's own work.
//
// The variants take turns as in every measurement (paired runs, the order
// swapping, one warm-up run of each first); ratios are medians of the per-run
// ratios. Install downloads from the endpoint compiled into the build, so the
// bare fetch uses that one too: tools/bench.sh serves the release there.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/contract.h"
#include "engine/download.h"
#include "engine/install.h"
#include "engine/launch.h"
#include "engine/locks.h"
#include "engine/product.h"
#include "engine/uninstall.h"
#include "payload/manifest.h"
#include "payload/verify.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tools/bench/bench.h"

namespace pelorin::setup::bench {
namespace {

constexpr double InstallTarget = 1.10;
constexpr double ReregisterTarget = 1.05;
constexpr double LaunchTarget = 1.05;
constexpr wchar_t UninstallEntryKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pelorin";
constexpr DWORD StandInWaitMs = 20000;
// The installation's files besides the manifest's: the uninstaller and the marker.
constexpr std::size_t AddedFiles = 2;

void DeleteFileIfPresent(const std::wstring& path) {
    if (!::DeleteFileW(ToLongPath(path).c_str()) && PathExists(path)) Fail("removing a shortcut");
}

}  // namespace

void ResetProductState() {
    RemoveTree(ProductRootDirectory());
    RemoveTree(JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Pelorin"));
    DeleteFileIfPresent(StartMenuShortcutPath());
    DeleteFileIfPresent(DesktopShortcutPath());
    const LSTATUS status = ::RegDeleteTreeW(HKEY_CURRENT_USER, UninstallEntryKey);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) Fail("removing the uninstall entry");
}

CleanProductState::CleanProductState() {
    ResetProductState();
}

CleanProductState::~CleanProductState() {
    try {
        ResetProductState();
    } catch (...) {
        std::fprintf(stderr, "could not reset the product state after a measurement\n");
    }
}

namespace {

const ProgressFunction& CountingProgress() {
    static std::uint64_t reports = 0;
    static const ProgressFunction progress = [](const Progress&) { ++reports; };
    return progress;
}

void Require(const OperationResult& result, const char* operation) {
    if (result.code != FailureCode::None) {
        Fail(std::string(operation) + " (code " + std::to_string(static_cast<int>(result.code)) + ")");
    }
}

const Options InstallOptions{true};  // with the desktop shortcut: the whole job

double TimedInstall() {
    std::atomic<bool> cancel{false};
    OperationResult result;
    const double seconds = TimeSeconds([&] { result = Install(InstallOptions, cancel, CountingProgress()); });
    Require(result, "Install");
    return seconds;
}

void InstallUntimed() {
    TimedInstall();
}

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != L'\0'; ++text) {
        narrow.push_back(static_cast<char>(*text));  // the download path is ASCII
    }
    return narrow;
}

// Steers every application this process launches while it lives: no message
// boxes, a record file once it holds its locks, and an exit event.
class LaunchedApplications {
public:
    LaunchedApplications() {
        const std::wstring tag = std::to_wstring(::GetCurrentProcessId()) + L"-" + RandomHexName();
        eventName_ = L"PelorinBenchExit-" + tag;
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        record_ = std::wstring(temp) + L"pelorin-bench-launch-" + tag + L".txt";
        exitEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, eventName_.c_str());
        if (exitEvent_ == nullptr) Fail("creating the exit event");
        ::SetEnvironmentVariableW(L"PELORIN_STANDIN_QUIET", L"1");
        ::SetEnvironmentVariableW(L"PELORIN_STANDIN_EXIT_EVENT", eventName_.c_str());
        ::SetEnvironmentVariableW(L"PELORIN_STANDIN_RECORD", record_.c_str());
    }
    ~LaunchedApplications() {
        ::SetEvent(exitEvent_);
        WaitForSessionLockFree();
        for (const wchar_t* name : {L"PELORIN_STANDIN_QUIET", L"PELORIN_STANDIN_EXIT_EVENT", L"PELORIN_STANDIN_RECORD"}) {
            ::SetEnvironmentVariableW(name, nullptr);
        }
        ::CloseHandle(exitEvent_);
        ::DeleteFileW(record_.c_str());
    }
    LaunchedApplications(const LaunchedApplications&) = delete;
    LaunchedApplications& operator=(const LaunchedApplications&) = delete;

    // Waits until the launched application holds its locks, makes it exit and
    // waits until its session lock can be opened exclusively again.
    void StopLaunched() {
        for (DWORD waited = 0; !PathExists(record_); waited += 10) {
            if (waited > StandInWaitMs) Fail("waiting for the launched application to start");
            ::Sleep(10);
        }
        ::SetEvent(exitEvent_);
        if (!WaitForSessionLockFree()) Fail("waiting for the launched application to exit");
        ::ResetEvent(exitEvent_);
        ::DeleteFileW(record_.c_str());
    }

private:
    static bool SessionLockFree() {
        const std::wstring path = JoinPath(DataDirectory(), SessionLockName);
        const HANDLE lock = ::CreateFileW(ToLongPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        if (lock == INVALID_HANDLE_VALUE) return ::GetLastError() != ERROR_SHARING_VIOLATION;
        ::CloseHandle(lock);
        return true;
    }
    static bool WaitForSessionLockFree() {
        for (DWORD waited = 0; !SessionLockFree(); waited += 10) {
            if (waited > StandInWaitMs) return false;
            ::Sleep(10);
        }
        return true;
    }

    std::wstring eventName_;
    std::wstring record_;
    HANDLE exitEvent_ = nullptr;
};

// Runs the measured and the bare variant in turns with a reference that
// verifies the installation alone (VerifyInstalledTree), and reports the pair
// and the reference's median time and median per-run ratio to the bare loop.
void RunWithVerifyReference(Context& context, const std::function<double()>& measured,
                            const std::function<double()>& bare, const std::string& measuredLabel, double target) {
    const std::wstring directory = InstallDirectory();
    const auto verify = [&] { return TimeSeconds([&] { VerifyInstalledTree(directory, nullptr, {}); }); };
    measured();  // warm-up: brings the files into the system's cache
    bare();
    const std::vector<std::vector<double>> turns = TimeInTurns(context.repetitions, {measured, bare, verify});
    PairedTimes times{turns[0], turns[1], {}};
    std::vector<double> verifyRatios;
    for (std::size_t run = 0; run < turns[1].size(); ++run) {
        times.ratios.push_back(turns[0][run] / turns[1][run]);
        verifyRatios.push_back(turns[2][run] / turns[1][run]);
    }
    ReportPaired(context.report, times, measuredLabel, "bare read-and-hash loop", target);
    char line[160];
    std::snprintf(line, sizeof line, "for reference, VerifyInstalledTree alone: %.3f s, %.3f", Median(turns[2]),
                  Median(verifyRatios));
    context.report.Note(line);
    context.report.Note("(median time, and median of the per-run ratios to the bare loop)");
}

}  // namespace

void RunInstallBench(Context& context) {
    Report& report = context.report;
    report.Section("install", "a fresh Install of the release from the local release server, end to end, against\n"
                              "  the sum of a bare WinHTTP fetch of the same archive from the same server and a\n"
                              "  bare extraction of it (inflation in memory, CNG hashing, 64 KiB writes with\n"
                              "  FlushFileBuffers); product state reset before each run, not timed (paired runs)");

    const DownloadTarget target = ReleaseDownloadTarget();
    if (context.release.Target().port != target.port) {
        report.Note("note: PELORIN_SERVER_PORT is not the build's download port; Install and the bare fetch");
        report.Note("use the build's port, the archive for the bare extraction comes from the other one");
    }
    const std::vector<std::uint8_t>& archive = context.release.Archive();
    const CleanProductState clean;
    const std::wstring bareRoot = JoinPath(ProductRootDirectory(), L".bench-" + RandomHexName());
    BareExtraction extraction(archive, bareRoot);
    std::vector<std::uint8_t> block;

    const auto measured = [&] {
        ResetProductState();
        return TimedInstall();
    };
    std::vector<double> downloads;
    std::vector<BareTimes> split;
    const auto bare = [&] {
        ResetProductState();
        const ProductRoot productRoot;
        std::uint64_t received = 0;
        const double download = TimeSeconds([&] { received = BareDownload(target, block); });
        if (received != target.size) Fail("the bare fetch's byte count");
        const BareTimes times = extraction.Run();
        RemoveTree(bareRoot);
        downloads.push_back(download);
        split.push_back(times);
        return download + times.Sum();
    };

    measured();  // warm-up
    bare();
    downloads.clear();
    split.clear();
    const PairedTimes times = TimePaired(context.repetitions, measured, bare);
    ReportPaired(report, times, "fresh Install", "bare fetch + inflate + hash + write", InstallTarget);
    report.Time("  of which the bare fetch", Median(downloads));
    ReportBareSplit(report, split);
    report.Rate("fresh Install throughput (installed bytes)",
                static_cast<double>(PayloadTotalBytes) / MiB / Median(times.measured));

    char value[64];
    std::snprintf(value, sizeof value, "%.6f", Median(times.measured));
    PrintValue("install-seconds", value);
    PrintValue("download-path", Narrow(DownloadObjectPath));
}

void RunReregisterBench(Context& context) {
    Report& report = context.report;
    report.Section("reregister", "Install over an intact installation (verified file by file, registered again,\n"
                                 "  shortcuts written again) against a plain loop of 64 KiB ReadFile calls over\n"
                                 "  the installed files, each block hashed with CNG (paired runs)");

    const CleanProductState clean;
    InstallUntimed();
    const std::vector<BareFile> files = InstalledFiles(InstallDirectory(), std::string());
    std::vector<unsigned char> block(FileBlockSize);
    const auto measured = [&] { return TimedInstall(); };
    const auto bare = [&] { return TimeSeconds([&] { BareReadAndHash(files, block); }); };
    RunWithVerifyReference(context, measured, bare, "Install over an installation", ReregisterTarget);
}

void RunLaunchBench(Context& context) {
    Report& report = context.report;
    report.Section("launch", "LaunchApplication of an installation of the release (verification, then the\n"
                             "  start of the application) against a plain loop of 64 KiB ReadFile calls over\n"
                             "  the installed files, each block hashed with CNG; the application is made to\n"
                             "  exit after each launch, not timed (paired runs)");

    const CleanProductState clean;
    InstallUntimed();
    const std::vector<BareFile> files = InstalledFiles(InstallDirectory(), std::string());
    std::vector<unsigned char> block(FileBlockSize);
    LaunchedApplications launched;
    const auto measured = [&] {
        OperationResult result;
        const double seconds = TimeSeconds([&] { result = LaunchApplication(); });
        Require(result, "LaunchApplication");
        launched.StopLaunched();
        return seconds;
    };
    const auto bare = [&] { return TimeSeconds([&] { BareReadAndHash(files, block); }); };
    RunWithVerifyReference(context, measured, bare, "LaunchApplication", LaunchTarget);
}

void RunUninstallBench(Context& context) {
    Report& report = context.report;
    report.Section("uninstall", "Uninstall of an installation of the release, made by a fresh Install before\n"
                                "  each run (not timed): total time and time per removed file, with plain\n"
                                "  deletion of the same tree (FindFirstFileW, DeleteFileW, RemoveDirectoryW)\n"
                                "  for reference (paired runs)");

    const CleanProductState clean;
    const auto measured = [&] {
        ResetProductState();
        InstallUntimed();
        std::atomic<bool> cancel{false};
        OperationResult result;
        const double seconds = TimeSeconds([&] { result = Uninstall(cancel, CountingProgress()); });
        Require(result, "Uninstall");
        if (PathExists(InstallDirectory())) Fail("removing the installation");
        return seconds;
    };
    const auto bare = [&] {
        ResetProductState();
        InstallUntimed();
        const std::wstring directory = InstallDirectory();
        return TimeSeconds([&] { RemoveTree(directory); });
    };

    measured();  // warm-up
    bare();
    const PairedTimes times = TimePaired(context.repetitions, measured, bare);
    const double files = static_cast<double>(PayloadEntryCount + AddedFiles);
    report.Time("Uninstall", Median(times.measured));
    char line[160];
    std::snprintf(line, sizeof line, "%-44s %9.3f ms  (%zu files)", "Uninstall per removed file",
                  Median(times.measured) / files * 1000.0, PayloadEntryCount + AddedFiles);
    report.Note(line);
    report.Time("plain deletion of the same tree", Median(times.bare));
    std::snprintf(line, sizeof line, "%-44s %9.3f ms", "plain deletion per file", Median(times.bare) / files * 1000.0);
    report.Note(line);
    const auto [lowest, highest] = std::minmax_element(times.ratios.begin(), times.ratios.end());
    std::snprintf(line, sizeof line, "%-44s %9.3f    (per-run ratios from %.3f to %.3f; no target)",
                  "ratio Uninstall / plain deletion", Median(times.ratios), *lowest, *highest);
    report.Note(line);
}

void PrintValue(const std::string& name, const std::string& value) {
    std::printf("bench-value %s %s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
}

}  // namespace pelorin::setup::bench
