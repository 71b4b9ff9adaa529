// pelorin_bench: measures the setup program's primitives against the bare
// cost of the same work, in one run on one machine, and prints the ratios.
//
//   pelorin_bench [--repeat N] [measurement...]
//
// Without names every measurement runs. The release archive comes from the
// local release server at the port in PELORIN_SERVER_PORT (tools/bench.sh
// starts one). Measurements that work in the product root (a staging folder,
// an installation) run only in a throwaway profile marked by the harness. The
// exit code is 0 when every measurement ran (whether or not it met its
// target), 1 on an error and 2 on a wrong command line or in a profile that is
// not a throwaway one.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "engine/contract.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tools/bench/bench.h"

namespace pelorin::setup::bench {
namespace {

struct Measurement {
    const char* name;
    void (*run)(Context&);
    bool inProductRoot;  // works in the product root of the profile
};

// Every measurement of the program, in the order they run.
constexpr Measurement Measurements[] = {
    {"hash-file", RunHashFileBench, false},
    {"download", RunDownloadBench, false},
    {"extract", RunExtractBench, true},
    {"verify", RunVerifyBench, true},
    {"peak-memory", RunPeakMemoryBench, true},
    {"install", RunInstallBench, true},
    {"reregister", RunReregisterBench, true},
    {"launch", RunLaunchBench, true},
    {"uninstall", RunUninstallBench, true},
    {"window", RunWindowBench, true},
};

bool RefusedProfile() {
    if (InThrowawayProfile()) {
        return false;
    }
    std::fprintf(stderr, "refusing to run: this profile has no pelorin-test-profile.marker; "
                         "run the benchmarks through tools/bench.sh, which makes a throwaway profile\n");
    return true;
}

constexpr int DefaultRepetitions = 7;

// A fresh folder under the profile's local Temp folder, removed with its
// files afterwards (measurements leave only files at its top level).
class WorkFolder {
public:
    explicit WorkFolder(const std::wstring& name) {
        const std::wstring temp = JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Temp");
        ::CreateDirectoryW(ToLongPath(temp).c_str(), nullptr);
        path_ = JoinPath(temp, name + L"-" + RandomHexName());
        if (!::CreateDirectoryW(ToLongPath(path_).c_str(), nullptr)) {
            ThrowFailure(FailureCode::WriteFailed);
        }
    }
    ~WorkFolder() {
        WIN32_FIND_DATAW entry;
        const HANDLE find = ::FindFirstFileW((ToLongPath(path_) + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") {
                    ::DeleteFileW(ToLongPath(JoinPath(path_, name)).c_str());
                }
            } while (::FindNextFileW(find, &entry));
            ::FindClose(find);
        }
        ::RemoveDirectoryW(ToLongPath(path_).c_str());
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const std::wstring& Path() const noexcept { return path_; }

private:
    std::wstring path_;
};

int Usage() {
    std::fprintf(stderr, "usage: pelorin_bench [--repeat N] [measurement...]\nmeasurements:");
    for (const Measurement& m : Measurements) {
        std::fprintf(stderr, " %s", m.name);
    }
    std::fprintf(stderr, "\n");
    return 2;
}

int Run(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], MemoryProbeArgument) == 0) {
        return RefusedProfile() ? 2 : RunMemoryProbe();
    }
    int repetitions = DefaultRepetitions;
    std::vector<const Measurement*> chosen;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repetitions = std::atoi(argv[++i]);
            if (repetitions < 1 || repetitions > 1000) {
                return Usage();
            }
            continue;
        }
        const Measurement* found = nullptr;
        for (const Measurement& m : Measurements) {
            if (std::strcmp(argv[i], m.name) == 0) {
                found = &m;
            }
        }
        if (found == nullptr) {
            return Usage();
        }
        chosen.push_back(found);
    }
    if (chosen.empty()) {
        for (const Measurement& m : Measurements) {
            chosen.push_back(&m);
        }
    }

    for (const Measurement* m : chosen) {
        if (m->inProductRoot && RefusedProfile()) {
            return 2;
        }
    }

    std::printf("Pelorin Setup benchmarks: each figure is measured side by side with its baseline in this run;\n"
                "times are medians of %d runs, the variants taking turns.\n",
                repetitions);
    Report report;
    ReleaseSource release;
    for (const Measurement* m : chosen) {
        const WorkFolder folder(L"pelorin-bench");
        Context context{folder.Path(), repetitions, report, release};
        m->run(context);
    }
    std::printf("\n%s\n", report.TargetsMissed() == 0 ? "All targets met."
                                                        : "Some targets were missed (see above).");
    return 0;
}

}  // namespace
}  // namespace pelorin::setup::bench

int main(int argc, char** argv) {
    try {
        return pelorin::setup::bench::Run(argc, argv);
    } catch (const pelorin::setup::Failure& failure) {
        std::fprintf(stderr, "benchmark failed with code %d\n", static_cast<int>(failure.code));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
    }
    return 1;
}
