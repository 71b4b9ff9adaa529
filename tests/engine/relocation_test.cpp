// The installed uninstaller hands over to a verified copy of itself. The
// relocation probe plays the setup program: it installs the small release, so
// the installed "uninstall.exe" is a copy of the probe. What a second process
// cannot be made to see (another spelling of its own path, a file changed at
// a given moment, a refused start) is tried in this process instead.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/install.h"
#include "engine/relocate.h"
#include "engine/uninstall.h"
#include "payload/verify.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/override_call.h"
#include "tests/support/product_state.h"
#include "tests/support/release_server.h"
#include "tests/support/system_call_fakes.h"

namespace pelorin::setup {
namespace {

std::wstring Temp() {
    return JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Temp");
}

// The "Pelorin-Uninstall-*" folders under LocalAppData's Temp.
std::vector<std::wstring> RelocationFolders() {
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW data;
    HANDLE search = ::FindFirstFileW((Temp() + L"\\Pelorin-Uninstall-*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return folders;
    do {
        folders.push_back(JoinPath(Temp(), data.cFileName));
    } while (::FindNextFileW(search, &data));
    ::FindClose(search);
    return folders;
}

// Runs `exe` with `argument` and returns its exit code.
DWORD RunProgram(const std::wstring& exe, const std::wstring& argument) {
    std::wstring commandLine = L"\"" + exe + L"\" " + argument;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        return 0xFFFFFFFF;
    }
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return code;
}

// Another spelling of `path` that names the same file: its short (8.3) form,
// or, under Wine, the same file reached through the drive mapped to the Unix
// root. Empty when the platform offers neither.
std::wstring AnotherSpelling(const std::wstring& path) {
    std::wstring shortPath(32768, L'\0');
    const DWORD length = ::GetShortPathNameW(path.c_str(), shortPath.data(), 32768);
    if (length > 0 && length < 32768) {
        shortPath.resize(length);
        if (!SamePath(shortPath, path) && IsAcceptedPath(shortPath) && testing::PathExists(shortPath)) {
            return shortPath;
        }
    }
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    const auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixFileName == nullptr) return std::wstring();
    char* unixName = unixFileName(path.c_str());
    if (unixName == nullptr) return std::wstring();
    std::wstring mapped = L"Z:" + Utf8ToWide(unixName);
    ::HeapFree(::GetProcessHeap(), 0, unixName);
    std::replace(mapped.begin(), mapped.end(), L'/', L'\\');
    return IsAcceptedPath(mapped) && testing::PathExists(mapped) ? mapped : std::wstring();
}

class Relocation : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::wstring& folder : RelocationFolders()) testing::RemoveTree(folder);
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
        report_ = JoinPath(Temp(), L"relocation-report");
        ::SetEnvironmentVariableW(L"PELORIN_PROBE_REPORT", report_.c_str());
        for (const wchar_t* end : {L"-relocating", L"-staying"}) testing::RemoveTree(report_ + end);
        probe_ = testing::EnvironmentVariable(L"PELORIN_TEST_RELOCATION_PROBE");
        ASSERT_FALSE(probe_.empty());
        ASSERT_EQ(RunProgram(probe_, L"--install"), 0u) << "the probe installs the small release";
        uninstaller_ = JoinPath(InstallDirectory(), L"uninstall.exe");
    }
    void TearDown() override {
        // A relocated copy may still be on its way out.
        for (int i = 0; i < 100 && !RelocationFolders().empty(); ++i) {
            for (const std::wstring& folder : RelocationFolders()) testing::RemoveTree(folder);
            if (!RelocationFolders().empty()) ::Sleep(50);
        }
        testing::ResetProductState();
        ::SetEnvironmentVariableW(L"PELORIN_PROBE_REPORT", nullptr);
    }

    // The report of the process that did not relocate, once it is there.
    std::string StayingReport() const {
        const std::wstring file = report_ + L"-staying";
        for (int i = 0; i < 400; ++i, ::Sleep(50)) {
            try {
                const std::string report = testing::ReadFileBytes(file);
                if (!report.empty() && report.back() == '\n') return report;
            } catch (const std::exception&) {
                // Not there yet, or still being written.
            }
        }
        return std::string();
    }

    std::wstring report_, probe_, uninstaller_;
};

TEST_F(Relocation, TheInstalledUninstallerHandsOverToAVerifiedCopy) {
    EXPECT_EQ(RunProgram(uninstaller_, L"--uninstall"), 100u) << "code 0, relocated";
    const std::vector<std::wstring> folders = RelocationFolders();
    ASSERT_EQ(folders.size(), 1u);
    const std::wstring name = folders[0].substr(folders[0].rfind(L'\\') + 1);
    const std::wstring suffix = name.substr(std::wstring(L"Pelorin-Uninstall-").size());
    EXPECT_EQ(suffix.size(), 32u);
    EXPECT_EQ(suffix.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
    const std::wstring copy = JoinPath(folders[0], L"Pelorin-Uninstall.exe");
    EXPECT_EQ(testing::ReadFileBytes(copy), testing::ReadFileBytes(uninstaller_));

    // The copy ran with the relocation argument and stayed where it was.
    const std::string report = StayingReport();
    const std::string copyUtf8(copy.begin(), copy.end());
    EXPECT_TRUE(report.starts_with("0 0 ")) << report;
    EXPECT_NE(report.find("\"" + copyUtf8 + "\" --uninstall-relocated\n"), std::string::npos) << report;
}

TEST_F(Relocation, AnyOtherCopyOfTheProgramStays) {
    for (const wchar_t* argument : {L"--uninstall", L"--uninstall-relocated"}) {
        EXPECT_EQ(RunProgram(probe_, argument), 0u);
        EXPECT_TRUE(RelocationFolders().empty());
    }
}

TEST_F(Relocation, RecognisesTheUninstallerInAnotherLetterCase) {
    std::wstring upper = uninstaller_;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(::towupper(c));
    EXPECT_EQ(RunProgram(upper, L"--uninstall"), 100u);
    EXPECT_EQ(RelocationFolders().size(), 1u);
    EXPECT_TRUE(StayingReport().starts_with("0 0 "));
}

TEST_F(Relocation, RefusesAnUninstallerThatIsNotTheRecordedOne) {
    std::string bytes = testing::ReadFileBytes(uninstaller_);
    bytes.push_back('\0');
    testing::WriteFileBytes(uninstaller_, bytes);
    EXPECT_EQ(RunProgram(uninstaller_, L"--uninstall"), 4u);
    EXPECT_TRUE(RelocationFolders().empty()) << "no copy is made";
}

TEST_F(Relocation, AMissingMarkerIsNotFound) {
    testing::RemoveTree(JoinPath(InstallDirectory(), L".pelorin-installation"));
    EXPECT_EQ(RunProgram(uninstaller_, L"--uninstall"), 8u);
    EXPECT_TRUE(RelocationFolders().empty());
}

TEST_F(Relocation, CreatesAMissingTemporaryFolder) {
    testing::RemoveTree(Temp());
    EXPECT_EQ(RunProgram(uninstaller_, L"--uninstall"), 100u);
    EXPECT_EQ(RelocationFolders().size(), 1u);
    EXPECT_TRUE(StayingReport().starts_with("0 0 "));
}

using CreateProcessSignature = BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                    LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);

// The relocation and the uninstall run in this process, on an installation
// that Install made here: its "uninstall.exe" is a copy of this test program.
// The running program's path is what the system-call table answers, and no
// process is really started: each start is recorded (and made to fail on
// request).
class RelocationInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::wstring& folder : RelocationFolders()) testing::RemoveTree(folder);
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
        std::atomic<bool> cancel{false};
        ASSERT_EQ(Install(Options{}, cancel, {}).code, FailureCode::None);
        uninstaller_ = JoinPath(InstallDirectory(), L"uninstall.exe");
        marker_ = JoinPath(InstallDirectory(), L".pelorin-installation");
    }
    void TearDown() override {
        for (const std::wstring& folder : RelocationFolders()) testing::RemoveTree(folder);
        testing::ResetProductState();
    }

    // Makes the running program's path `self` for the scope of the returned
    // object.
    static std::shared_ptr<void> RunningAs(const std::wstring& self) {
        return std::make_shared<testing::OverrideCall<DWORD(HMODULE, LPWSTR, DWORD)>>(
            SystemCalls().GetModuleFileNameW, [self](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
                if (self.size() >= size) return 0;
                std::copy(self.c_str(), self.c_str() + self.size() + 1, buffer);
                return static_cast<DWORD>(self.size());
            });
    }

    // RelocateUninstaller as the program at `self`; returns its code.
    FailureCode Relocate(const std::wstring& self) {
        const std::shared_ptr<void> running = RunningAs(self);
        testing::OverrideCall<CreateProcessSignature> start(
            SystemCalls().CreateProcessW,
            [this](LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                   LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION process) -> BOOL {
                starts_.emplace_back(commandLine);
                if (atStart_) atStart_();
                if (refuseStart_) {
                    ::SetLastError(ERROR_ACCESS_DENIED);
                    return FALSE;
                }
                process->hProcess = nullptr;  // nothing to close
                process->hThread = nullptr;
                return TRUE;
            });
        relocated_ = true;  // must be cleared by the call
        return RelocateUninstaller(relocated_).code;
    }

    std::wstring uninstaller_, marker_;
    std::vector<std::wstring> starts_;
    std::function<void()> atStart_;
    bool refuseStart_ = false;
    bool relocated_ = false;
};

// Started by another spelling of its path, the installed uninstaller is still
// recognised by what it is (the same volume and file id): it hands over to a
// verified copy.
TEST_F(RelocationInProcess, TheInstalledUninstallerUnderAnotherSpellingHandsOver) {
    const std::wstring spelling = AnotherSpelling(uninstaller_);
    if (spelling.empty()) GTEST_SKIP() << "no other spelling of a path on this platform (no short names, no Z: drive)";
    ASSERT_FALSE(SamePath(spelling, uninstaller_));
    EXPECT_EQ(Relocate(spelling), FailureCode::None);
    EXPECT_TRUE(relocated_);
    ASSERT_EQ(starts_.size(), 1u);
    EXPECT_TRUE(starts_[0].ends_with(L"\\Pelorin-Uninstall.exe\" --uninstall-relocated"))
        << ::testing::PrintToString(starts_[0]);
    ASSERT_EQ(RelocationFolders().size(), 1u);
    EXPECT_TRUE(testing::ReadFileBytes(JoinPath(RelocationFolders()[0], L"Pelorin-Uninstall.exe")) ==
                testing::ReadFileBytes(uninstaller_));
}

// The uninstall refuses to run as the installed uninstaller under any spelling
// of its path, so nothing is removed from under the running program.
TEST_F(RelocationInProcess, TheUninstallRefusesToRunAsTheInstalledUninstallerUnderAnotherSpelling) {
    const std::wstring spelling = AnotherSpelling(uninstaller_);
    if (spelling.empty()) GTEST_SKIP() << "no other spelling of a path on this platform (no short names, no Z: drive)";
    {
        const std::shared_ptr<void> running = RunningAs(spelling);
        std::atomic<bool> cancel{false};
        EXPECT_EQ(Uninstall(cancel, {}).code, FailureCode::AppRunning);
    }
    EXPECT_NO_THROW(VerifyInstalledTree(InstallDirectory(), nullptr, {})) << "nothing was removed";
    EXPECT_TRUE(testing::UninstallEntryExists());
    EXPECT_TRUE(testing::PathExists(StartMenuShortcutPath()));
}

// The program that is started is the copy that was verified: the copy is held
// from its verification until the process exists, and a copy changed before
// it was held is refused.
TEST_F(RelocationInProcess, TheStartedCopyIsTheVerifiedCopy) {
    const std::string verified = testing::ReadFileBytes(uninstaller_);
    const struct {
        const char* when;
        bool atMarkerRead;  // else at the first open of the finished copy
        bool atStart;
        FailureCode expected;
    } cases[] = {
        {"when the marker is read the second time", true, false, FailureCode::None},
        {"when the process is created", false, true, FailureCode::None},
        {"before the copy is held", false, false, FailureCode::VerificationFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        for (const std::wstring& folder : RelocationFolders()) testing::RemoveTree(folder);
        starts_.clear();
        std::wstring copy;
        int markerReads = 0, copyOpens = 0;
        bool changed = false;
        const auto change = [&] {
            HANDLE writer = ::CreateFileW(testing::LongForm(copy).c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
            if (writer == INVALID_HANDLE_VALUE) return;
            DWORD written = 0;
            changed = ::WriteFile(writer, "!", 1, &written, nullptr) && written == 1;
            ::CloseHandle(writer);
        };
        testing::OverrideCall<testing::CreateFileSignature> opens(
            SystemCalls().CreateFileW,
            [&](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                DWORD flags, HANDLE templateFile) -> HANDLE {
                const std::wstring path(name);
                if (path == testing::LongForm(marker_) && ++markerReads == 2 && c.atMarkerRead) change();
                if (!copy.empty() && path == testing::LongForm(copy) && disposition == OPEN_EXISTING &&
                    ++copyOpens == 1 && !c.atMarkerRead && !c.atStart) {
                    change();
                }
                const HANDLE handle = ::CreateFileW(name, access, share, security, disposition, flags, templateFile);
                const DWORD error = ::GetLastError();
                if (disposition == CREATE_NEW && path.ends_with(L"\\Pelorin-Uninstall.exe")) copy = path.substr(4);
                ::SetLastError(error);
                return handle;
            });
        std::string started;
        atStart_ = [&] {
            if (c.atStart) change();
            started = testing::ReadFileBytes(copy);
        };
        EXPECT_EQ(Relocate(uninstaller_), c.expected);
        ASSERT_FALSE(copy.empty());
        if (c.expected == FailureCode::None) {
            EXPECT_FALSE(changed) << "the copy could be written";
            ASSERT_EQ(starts_.size(), 1u);
            EXPECT_TRUE(started == verified) << "the program started is not the verified copy";
        } else {
            EXPECT_TRUE(changed) << "the change was not made";
            EXPECT_TRUE(starts_.empty()) << "a changed copy was started";
            EXPECT_FALSE(relocated_);
        }
    }
}

// Every failure of the relocation ends without a start, with the relocated
// flag clear, and with nothing of anyone else's changed.
TEST_F(RelocationInProcess, FailuresStartNothing) {
    std::wstring fixedFolder = JoinPath(Temp(), L"Pelorin-Uninstall-");
    for (int i = 0; i < 16; ++i) fixedFolder += L"cd";
    const struct {
        const char* what;
        std::function<std::shared_ptr<void>()> arrange;
        FailureCode expected;
    } cases[] = {
        {"the new folder's name is taken",
         [&] {
             auto random = std::make_shared<testing::CallSpy<NTSTATUS(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG)>>(
                 SystemCalls().BCryptGenRandom);
             random->FailWhen(
                 [](BCRYPT_ALG_HANDLE, PUCHAR bytes, ULONG count, ULONG) {
                     std::fill_n(bytes, count, UCHAR{0xcd});
                     return true;
                 },
                 0);
             testing::CreateFolders(fixedFolder);
             testing::WriteFileBytes(JoinPath(fixedFolder, L"theirs.txt"), "theirs");
             return random;
         },
         FailureCode::WriteFailed},
        {"the copy fails its verification",
         [] {
             auto flush = std::make_shared<testing::CallSpy<BOOL(HANDLE)>>(SystemCalls().FlushFileBuffers);
             flush->FailCall(1, FALSE, ERROR_IO_DEVICE);
             return flush;
         },
         FailureCode::VerificationFailed},
        {"the marker names another uninstaller at its second read",
         [this] {
             auto opens = std::make_shared<testing::CallSpy<testing::CreateFileSignature>>(SystemCalls().CreateFileW);
             opens->OnCall([this, reads = 0](LPCWSTR name, auto&&...) mutable {
                 if (testing::LongForm(marker_) == name && ++reads == 2) {
                     std::string marker = testing::ReadFileBytes(marker_);
                     marker[100] = marker[100] == 'a' ? 'b' : 'a';
                     testing::WriteFileBytes(marker_, marker);
                 }
             });
             return opens;
         },
         FailureCode::VerificationFailed},
        {"the start is refused",
         [this] {
             refuseStart_ = true;
             return std::shared_ptr<void>();
         },
         FailureCode::WriteFailed},
    };
    const std::string marker = testing::ReadFileBytes(marker_);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::wstring& folder : RelocationFolders()) testing::RemoveTree(folder);
        testing::WriteFileBytes(marker_, marker);
        starts_.clear();
        refuseStart_ = false;
        {
            const std::shared_ptr<void> arrangement = c.arrange();
            EXPECT_EQ(Relocate(uninstaller_), c.expected);
        }
        EXPECT_FALSE(relocated_);
        EXPECT_EQ(starts_.size(), refuseStart_ ? 1u : 0u) << "the refused start is the only one tried";
        if (testing::PathExists(fixedFolder)) {
            EXPECT_EQ(testing::ReadFileBytes(JoinPath(fixedFolder, L"theirs.txt")), "theirs");
            EXPECT_FALSE(testing::PathExists(JoinPath(fixedFolder, L"Pelorin-Uninstall.exe")));
        }
    }
}

}  // namespace
}  // namespace pelorin::setup
