// The fault sweep: each operation is run once to count its system calls, then
// once more for every call with that call failing, the way it fails on
// Windows; then with the error of a full disk for every write and of a sharing
// violation for every open; then, for every failure that starts a rollback,
// with one more call failing inside that rollback (its first, a middle and its
// last call). After every run the user's machine must be in a valid state:
//
// - the result code is one the operation may give, and it returned;
// - everything the operation acquired was released;
// - the files the test placed beforehand are unchanged;
// - the version folder is complete or absent (an uninstall may also leave an
//   installation that can still be uninstalled, or only the user's files);
// - the uninstall entry and each shortcut are as before or exactly as a
//   success leaves them, with no temporary file beside them;
// - no staging folder is left, unless a deletion itself was failed, and then
//   the result says the operation failed;
// - what the message of a failure asks the user to do works: the same
//   operation, run again without faults, succeeds.
//
// The environment variable PELORIN_SWEEP_STRIDE=N runs only every N-th call of
// each pass (1, the default, runs them all).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/install.h"
#include "engine/launch.h"
#include "engine/relocate.h"
#include "engine/uninstall.h"
#include "payload/verify.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/install_tree.h"
#include "tests/support/links.h"
#include "tests/support/override_call.h"
#include "tests/support/product_state.h"
#include "tests/support/release_server.h"

namespace pelorin::setup {
namespace {

using testing::Fault;
using testing::FaultSweep;
using testing::OverrideCall;

constexpr wchar_t EntryKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pelorin";

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::wstring Temp() {
    return JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Temp");
}

// Names in a folder matching `pattern`, sorted; empty when the folder is absent.
std::vector<std::wstring> Names(const std::wstring& folder, const wchar_t* pattern = L"*") {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    const HANDLE search = ::FindFirstFileW((L"\\\\?\\" + folder + L"\\" + pattern).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(search, &data));
    ::FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// The uninstall entry, value by value; nothing when the key is absent.
std::optional<std::map<std::wstring, std::string>> EntryValues() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, EntryKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::map<std::wstring, std::string> values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[512];
        DWORD nameLength = 512;
        DWORD type = 0;
        BYTE data[8192];
        DWORD size = sizeof data;
        if (::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        values[std::wstring(name, nameLength)] =
            std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(data), size);
    }
    ::RegCloseKey(key);
    return values;
}

std::optional<std::string> FileBytes(const std::wstring& path) {
    if (!testing::PathExists(path)) return std::nullopt;
    return testing::ReadFileBytes(path);
}

bool VersionFolderComplete() {
    try {
        VerifyInstalledTree(InstallDirectory(), nullptr, {});
        return true;
    } catch (...) {
        return false;
    }
}

// A shortcut as the test sees it. Link files carry the times of the folders
// on their way, so a new link is recognised by its target, not its bytes.
enum class Link { Absent, AsBefore, Ours, Other };

const char* NameOf(Link link) {
    switch (link) {
    case Link::Absent:
        return "absent";
    case Link::AsBefore:
        return "as before";
    case Link::Ours:
        return "a link to the application";
    case Link::Other:
        return "something else";
    }
    return "?";
}

Link LinkState(const std::wstring& path, const std::optional<std::string>& before) {
    const std::optional<std::string> bytes = FileBytes(path);
    if (!bytes) return Link::Absent;
    if (bytes == before) return Link::AsBefore;
    if (testing::ShortcutTarget(path) == JoinPath(InstallDirectory(), L"Pelorin.exe")) return Link::Ours;
    return Link::Other;
}

// What the test compares before and after an operation.
struct Snapshot {
    std::optional<std::map<std::wstring, std::string>> entry;
    Link startMenu = Link::Absent;
    Link desktop = Link::Absent;
    std::vector<std::wstring> startMenuFolder;
    std::vector<std::wstring> desktopFolder;
    // The shortcut files' bytes, to tell "as before" later.
    std::optional<std::string> startMenuBytes;
    std::optional<std::string> desktopBytes;

    // `before` is the snapshot taken before the operation (or none for that one).
    static Snapshot Take(const Snapshot* before) {
        Snapshot now;
        now.entry = EntryValues();
        now.startMenuBytes = FileBytes(StartMenuShortcutPath());
        now.desktopBytes = FileBytes(DesktopShortcutPath());
        now.startMenu = LinkState(StartMenuShortcutPath(), before ? before->startMenuBytes : now.startMenuBytes);
        now.desktop = LinkState(DesktopShortcutPath(), before ? before->desktopBytes : now.desktopBytes);
        now.startMenuFolder = Names(ParentPath(StartMenuShortcutPath()));
        now.desktopFolder = Names(ParentPath(DesktopShortcutPath()));
        return now;
    }
};

// Files of the user's that no operation may change, and their content.
struct UserFiles {
    std::map<std::wstring, std::string> files;

    void Place(const std::wstring& path, const std::string& content) {
        testing::CreateFolders(ParentPath(path));
        testing::WriteFileBytes(path, content);
        files[path] = content;
    }
    std::vector<std::string> Changed() const {
        std::vector<std::string> changed;
        for (const auto& [path, content] : files) {
            if (FileBytes(path) != content) changed.push_back(Narrow(path));
        }
        return changed;
    }
};

// A process start that starts nothing: the application and the relocated
// uninstaller stay where they are, and the start is only recorded.
class RecordedStarts {
public:
    RecordedStarts()
        : override_(SystemCalls().CreateProcessW,
                    [this](LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                           LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION process) -> BOOL {
                        commandLines.emplace_back(commandLine);
                        const HANDLE self = ::GetCurrentProcess();
                        ::DuplicateHandle(self, self, self, &process->hProcess, 0, FALSE, DUPLICATE_SAME_ACCESS);
                        ::DuplicateHandle(self, ::GetCurrentThread(), self, &process->hThread, 0, FALSE,
                                          DUPLICATE_SAME_ACCESS);
                        process->dwProcessId = ::GetCurrentProcessId();
                        process->dwThreadId = ::GetCurrentThreadId();
                        return TRUE;
                    }) {}
    std::vector<std::wstring> commandLines;

private:
    OverrideCall<BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                      LPSTARTUPINFOW, LPPROCESS_INFORMATION)>
        override_;
};

enum class Operation { FreshInstall, ReRegistration, Uninstall, Launch, Relocation };

struct Outcome {
    OperationResult result;
    bool relocated = false;
    std::vector<std::wstring> starts;  // command lines of the processes started
};

std::atomic<bool> NoCancel{false};

// `uninstaller` is the installed uninstaller's path, worked out beforehand so
// that the test's own calls are not swept.
Outcome Perform(Operation operation, const std::wstring& uninstaller) {
    Outcome outcome;
    RecordedStarts starts;
    switch (operation) {
    case Operation::FreshInstall:
    case Operation::ReRegistration: {
        Options options;
        options.createDesktopShortcut = true;
        outcome.result = Install(options, NoCancel, {});
        break;
    }
    case Operation::Uninstall:
        outcome.result = Uninstall(NoCancel, {});
        break;
    case Operation::Launch:
        outcome.result = LaunchApplication();
        break;
    case Operation::Relocation: {
        // This program plays the installed uninstaller.
        OverrideCall<DWORD(HMODULE, LPWSTR, DWORD)> self(
            SystemCalls().GetModuleFileNameW, [&](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
                if (uninstaller.size() >= size) return size;
                std::copy(uninstaller.begin(), uninstaller.end(), buffer);
                buffer[uninstaller.size()] = L'\0';
                return static_cast<DWORD>(uninstaller.size());
            });
        outcome.result = RelocateUninstaller(outcome.relocated);
        break;
    }
    }
    outcome.starts = starts.commandLines;
    return outcome;
}

const char* NameOf(Operation operation) {
    switch (operation) {
    case Operation::FreshInstall:
        return "fresh install";
    case Operation::ReRegistration:
        return "re-registration";
    case Operation::Uninstall:
        return "uninstall";
    case Operation::Launch:
        return "verified launch";
    case Operation::Relocation:
        return "relocation";
    }
    return "?";
}

// The codes each operation may give when a system call fails.
std::set<FailureCode> AllowedFailures(Operation operation) {
    using enum FailureCode;
    switch (operation) {
    case Operation::FreshInstall:
        return {AppRunning, DownloadFailed, VerificationFailed, WriteFailed, InstallFolderRejected,
                InstallationNotFound, RegistrationFailed};
    case Operation::ReRegistration:
    case Operation::Uninstall:
        return {AppRunning, VerificationFailed, WriteFailed, InstallFolderRejected, InstallationNotFound,
                RegistrationFailed};
    case Operation::Launch:
    case Operation::Relocation:
        return {AppRunning, VerificationFailed, WriteFailed, InstallFolderRejected, InstallationNotFound};
    }
    return {};
}

void InstallCleanly() {
    std::atomic<bool> cancel{false};
    Options options;
    options.createDesktopShortcut = true;
    const OperationResult result = Install(options, cancel, {});
    if (result.code != FailureCode::None) {
        throw std::runtime_error("the set-up install failed with code " + std::to_string(static_cast<int>(result.code)));
    }
}

class Sweep {
public:
    explicit Sweep(Operation operation) : operation_(operation) {}

    // The state before each run: the user's own files, an earlier
    // registration that the install replaces, and (except for a fresh
    // install) the installation itself. An installation that the last run
    // left intact is kept, since making one costs most of a run.
    void Arrange() {
        for (const std::wstring& folder : Names(Temp(), L"Pelorin-Uninstall-*")) {
            testing::RemoveTree(JoinPath(Temp(), folder));
        }
        const bool keep = (operation_ == Operation::Launch || operation_ == Operation::Relocation ||
                           operation_ == Operation::ReRegistration) &&
                          installed_ && VersionFolderComplete() && EntryValues() == installed_;
        if (!keep) {
            testing::ResetProductState();
            testing::RemoveTree(JoinPath(ParentPath(StartMenuShortcutPath()), L"Other.lnk"));
            if (operation_ != Operation::FreshInstall) {
                InstallCleanly();
                installed_ = EntryValues();
            }
        }
        user_ = UserFiles();
        user_.Place(JoinPath(DataDirectory(), L"account.json"), "{\"account\": 1}");
        user_.Place(JoinPath(ParentPath(StartMenuShortcutPath()), L"Other.lnk"), "a foreign shortcut");
        if (operation_ == Operation::FreshInstall || operation_ == Operation::ReRegistration) {
            testing::SetUninstallEntryString(L"DisplayVersion", L"0.4.9");
            testing::WriteFileBytes(StartMenuShortcutPath(), "an older shortcut");
            testing::WriteFileBytes(DesktopShortcutPath(), "an older desktop shortcut");
        }
        if (operation_ == Operation::Uninstall) {
            user_.Place(JoinPath(InstallDirectory(), L"notes.txt"), "kept by the user");
        }
        before_ = Snapshot::Take(nullptr);
    }

    // The clean run: the number of calls, and what a success leaves.
    void Count() {
        Arrange();
        Outcome outcome;
        const std::wstring uninstaller = Uninstaller();
        {
            FaultSweep counting;
            outcome = Perform(operation_, uninstaller);
            trace_ = counting.Trace();
        }
        ASSERT_EQ(outcome.result.code, FailureCode::None) << NameOf(operation_) << " without faults";
        success_ = Snapshot::Take(&before_);
        std::printf("%s: %zu calls\n", NameOf(operation_), trace_.size());
    }

    // One run with the calls `failing` failing with `fault`; returns the
    // names of the calls it made, or nothing when it succeeded.
    std::vector<std::string> Run(const std::vector<int>& failing, Fault fault) {
        Arrange();
        Outcome outcome;
        std::vector<testing::InjectedCall> injected;
        std::vector<std::string> unreleased;
        std::vector<std::string> calls;
        const std::wstring uninstaller = Uninstaller();
        {
            FaultSweep sweep(failing, fault);
            outcome = Perform(operation_, uninstaller);
            injected = sweep.Injected();
            unreleased = sweep.Unreleased();
            calls = sweep.Trace();
        }
        std::string what = std::string(NameOf(operation_)) + ", " + testing::FaultName(fault) + " at";
        for (const testing::InjectedCall& call : injected) what += " #" + std::to_string(call.number) + " " + call.name;
        what += ": code " + std::to_string(static_cast<int>(outcome.result.code));
        ++runs_;
        if (injected.empty()) return {};  // nothing could be failed there
        Check(what, outcome, unreleased, injected.size() > 1);
        return outcome.result.code == FailureCode::None ? std::vector<std::string>{} : calls;
    }

    void Check(const std::string& what, const Outcome& outcome, const std::vector<std::string>& unreleased,
               bool rollbackFailed) {
        const FailureCode code = outcome.result.code;
        const bool ok = code == FailureCode::None;
        EXPECT_TRUE(ok || AllowedFailures(operation_).count(code) != 0) << what;
        EXPECT_TRUE(ok || outcome.result.installPath.empty()) << what;
        EXPECT_EQ(unreleased, std::vector<std::string>{}) << what;
        EXPECT_EQ(user_.Changed(), std::vector<std::string>{}) << what;

        const Snapshot after = Snapshot::Take(&before_);
        const bool complete = VersionFolderComplete();
        const bool present = testing::PathExists(InstallDirectory());
        const std::vector<std::wstring> staging = Names(ProductRootDirectory(), L".stage-*");
        switch (operation_) {
        case Operation::FreshInstall:
        case Operation::ReRegistration:
            EXPECT_TRUE(complete || !present) << what << ": the version folder is half there";
            if (operation_ == Operation::ReRegistration) {
                EXPECT_TRUE(complete) << what;
            }
            break;
        case Operation::Uninstall: {
            const bool marker = testing::PathExists(JoinPath(InstallDirectory(), L".pelorin-installation"));
            const bool uninstaller = testing::PathExists(JoinPath(InstallDirectory(), L"uninstall.exe"));
            EXPECT_TRUE(!marker || uninstaller) << what << ": a marker without its uninstaller";
            break;
        }
        case Operation::Launch:
        case Operation::Relocation:
            EXPECT_TRUE(complete) << what;
            break;
        }
        if (!rollbackFailed) {
            EXPECT_EQ(staging, std::vector<std::wstring>{}) << what << ": a staging folder is left";
        } else if (!staging.empty()) {
            std::printf("  %s: staging folder left (a deletion was failed)\n", what.c_str());
            EXPECT_FALSE(ok) << what << ": something is left behind, yet the result says success";
        }

        // The registration and the shortcuts: as before, or as a success
        // leaves them; nothing else beside the shortcuts.
        const bool entryKnown = after.entry == before_.entry || after.entry == success_.entry;
        const bool startMenuKnown =
            after.startMenu == Link::AsBefore || after.startMenu == success_.startMenu ||
            (after.startMenu == Link::Absent && before_.startMenu == Link::Absent);
        const bool desktopKnown = after.desktop == Link::AsBefore || after.desktop == success_.desktop ||
                                  (after.desktop == Link::Absent && before_.desktop == Link::Absent);
        if (rollbackFailed && !(entryKnown && startMenuKnown && desktopKnown)) {
            EXPECT_FALSE(ok) << what << ": a rollback step failed, yet the result says success";
        } else {
            EXPECT_TRUE(entryKnown) << what << ": the uninstall entry is neither as before nor as after a success";
            EXPECT_TRUE(startMenuKnown) << what << ": the Start-menu shortcut is " << NameOf(after.startMenu);
            EXPECT_TRUE(desktopKnown) << what << ": the desktop shortcut is " << NameOf(after.desktop);
        }
        ExpectOnlyKnownNames(what, StartMenuShortcutPath(), after.startMenuFolder, before_.startMenuFolder,
                             success_.startMenuFolder, before_.startMenuBytes, rollbackFailed, ok);
        ExpectOnlyKnownNames(what, DesktopShortcutPath(), after.desktopFolder, before_.desktopFolder,
                             success_.desktopFolder, before_.desktopBytes, rollbackFailed, ok);

        if (ok) {
            EXPECT_EQ(after.entry, success_.entry) << what;
            EXPECT_EQ(std::string(NameOf(after.startMenu)), NameOf(success_.startMenu)) << what;
            if (operation_ == Operation::Uninstall && after.desktop == Link::AsBefore) {
                // The uninstall removes a desktop shortcut it can check and
                // leaves one it cannot: the desktop is best effort.
                std::printf("  %s: the desktop shortcut is kept\n", what.c_str());
            } else if (outcome.result.desktopShortcutOk) {
                EXPECT_EQ(std::string(NameOf(after.desktop)), NameOf(success_.desktop)) << what;
            }
        }
        if (operation_ == Operation::Launch) {
            EXPECT_EQ(outcome.starts.size(), ok ? 1u : 0u) << what << ": processes started";
        }
        if (operation_ == Operation::Relocation) {
            EXPECT_EQ(outcome.relocated, ok) << what;
            EXPECT_EQ(outcome.starts.size(), ok ? 1u : 0u) << what << ": processes started";
        }
        if (!ok) ExpectRecovery(what);
    }

    // The same operation again, without faults, ends the way a success does.
    void ExpectRecovery(const std::string& what) {
        Outcome again = Perform(operation_, Uninstaller());
        if (operation_ == Operation::Uninstall && again.result.code == FailureCode::InstallationNotFound) {
            // Nothing that identifies an installation is left: the installer
            // without parameters makes a new one, which uninstalls.
            std::atomic<bool> cancel{false};
            ASSERT_EQ(Install(Options{}, cancel, {}).code, FailureCode::None) << what << ", then installing";
            again = Perform(operation_, Uninstaller());
        }
        EXPECT_EQ(again.result.code, FailureCode::None) << what << ", then again without faults";
        if (operation_ == Operation::Uninstall) {
            EXPECT_FALSE(testing::PathExists(JoinPath(InstallDirectory(), L".pelorin-installation"))) << what;
            EXPECT_FALSE(EntryValues().has_value()) << what << ", then again: the entry stays";
            EXPECT_FALSE(testing::PathExists(StartMenuShortcutPath())) << what << ", then again: the shortcut stays";
        } else if (operation_ != Operation::Relocation && operation_ != Operation::Launch) {
            EXPECT_TRUE(VersionFolderComplete()) << what << ", then again";
            EXPECT_EQ(EntryValues(), success_.entry) << what << ", then again";
        }
    }

    // Nothing but what was there before and what a success leaves stands
    // beside a shortcut. The one exception: after a success, the backup of
    // the replaced shortcut when its deletion failed (it is the user's old
    // shortcut, kept).
    void ExpectOnlyKnownNames(const std::string& what, const std::wstring& shortcut,
                              const std::vector<std::wstring>& names, const std::vector<std::wstring>& before,
                              const std::vector<std::wstring>& success, const std::optional<std::string>& oldBytes,
                              bool rollbackFailed, bool ok) {
        for (const std::wstring& name : names) {
            const bool known = std::find(before.begin(), before.end(), name) != before.end() ||
                               std::find(success.begin(), success.end(), name) != success.end();
            if (known) continue;
            const std::wstring path = JoinPath(ParentPath(shortcut), name);
            if (ok && name.starts_with(L".pelorin-backup-") && FileBytes(path) == oldBytes) {
                std::printf("  %s: the old shortcut stays as %s\n", what.c_str(), Narrow(name).c_str());
            } else if (rollbackFailed) {
                EXPECT_FALSE(ok) << what << ": " << Narrow(name) << " is left, yet the result says success";
            } else {
                ADD_FAILURE() << what << ": " << Narrow(name) << " is left beside the shortcut";
            }
        }
    }

    // Every call, with every fault it can have, then the rollbacks.
    void All() {
        Count();
        if (::testing::Test::HasFatalFailure()) return;
        const int stride = Stride();
        std::vector<std::pair<int, std::vector<int>>> rollbacks;  // the failed call, and the calls that undo
        for (const Fault fault : {Fault::AccessDenied, Fault::DiskFull, Fault::SharingViolation}) {
            for (int k = 1; k <= static_cast<int>(trace_.size()); k += 1) {
                if (!FaultSweep::CanFail(trace_[k - 1], fault) || (k - 1) % stride != 0) continue;
                std::vector<std::string> calls;
                try {
                    calls = Run({k}, fault);
                } catch (const Failure& failure) {
                    ADD_FAILURE() << NameOf(operation_) << ", " << testing::FaultName(fault) << " at #" << k << " "
                                  << trace_[k - 1] << ": the test itself met code "
                                  << static_cast<int>(failure.code);
                    return;
                }
                if (fault == Fault::AccessDenied) {
                    std::vector<int> undoing = RollbackCalls(calls, k);
                    if (!undoing.empty()) rollbacks.emplace_back(k, std::move(undoing));
                }
                if (::testing::Test::HasFailure() && ++reported_ > 20) return;  // enough to go on
            }
        }
        // One more failure inside the rollback that the first one started:
        // its first, a middle and its last call.
        for (const auto& [k, undoing] : rollbacks) {
            for (const int extra : {undoing.front(), undoing[undoing.size() / 2], undoing.back()}) {
                Run({k, extra}, Fault::AccessDenied);
                if (::testing::Test::HasFailure() && ++reported_ > 20) return;
            }
        }
        std::printf("%s: %d runs with injected failures (stride %d)\n", NameOf(operation_), runs_, stride);
    }

private:
    static std::wstring Uninstaller() { return JoinPath(InstallDirectory(), L"uninstall.exe"); }

    // The calls after the failed call k that can fail, when they undo
    // something (a deletion, a rename, a registry restore); empty when the
    // failure started no rollback.
    static std::vector<int> RollbackCalls(const std::vector<std::string>& calls, int k) {
        static const std::set<std::string> undoing = {"SetFileInformationByHandle", "MoveFileExW", "RegDeleteKeyExW",
                                                      "RegSetValueExW"};
        bool undoes = false;
        std::vector<int> after;
        for (int n = k + 1; n <= static_cast<int>(calls.size()); ++n) {
            undoes = undoes || undoing.count(calls[n - 1]) != 0;
            if (FaultSweep::CanFail(calls[n - 1], Fault::AccessDenied) &&
                !FaultSweep::GivesBack(calls[n - 1])) {
                after.push_back(n);
            }
        }
        return undoes ? after : std::vector<int>{};
    }

    static int Stride() {
        const std::wstring text = testing::EnvironmentVariable(L"PELORIN_SWEEP_STRIDE");
        const int stride = text.empty() ? 1 : std::stoi(text);
        return stride < 1 ? 1 : stride;
    }

    Operation operation_;
    std::optional<std::map<std::wstring, std::string>> installed_;  // the entry of a clean installation
    UserFiles user_;
    Snapshot before_;
    Snapshot success_;
    std::vector<std::string> trace_;
    int runs_ = 0;
    int reported_ = 0;
};

class FaultSweepTest : public ::testing::Test {
protected:
    void SetUp() override { testing::SetServerMode(L"mode=normal"); }
    void TearDown() override {
        testing::ResetProductState();
        for (const std::wstring& folder : Names(Temp(), L"Pelorin-Uninstall-*")) {
            testing::RemoveTree(JoinPath(Temp(), folder));
        }
    }
};

TEST_F(FaultSweepTest, FreshInstall) {
    Sweep(Operation::FreshInstall).All();
}

TEST_F(FaultSweepTest, ReRegistration) {
    Sweep(Operation::ReRegistration).All();
}

TEST_F(FaultSweepTest, Uninstall) {
    Sweep(Operation::Uninstall).All();
}

TEST_F(FaultSweepTest, VerifiedLaunch) {
    Sweep(Operation::Launch).All();
}

TEST_F(FaultSweepTest, UninstallerRelocation) {
    Sweep(Operation::Relocation).All();
}

}  // namespace
}  // namespace pelorin::setup
