// The uninstall operation against real installations of the small release,
// made through Install from the local release server; what Wine cannot show
// (links, junctions, refused deletions and registry calls) through the
// system-call table.
#include "engine/uninstall.h"

#include <windows.h>

#include <cctype>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/install.h"
#include "engine/shortcuts.h"
#include "payload/manifest.h"
#include "payload/verify.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/links.h"
#include "tests/support/override_call.h"
#include "tests/support/product_state.h"
#include "tests/support/release_server.h"
#include "tests/support/standin_process.h"
#include "tests/support/system_call_fakes.h"
#include "tests/support/temp_folder.h"

namespace pelorin::setup {
namespace {

using testing::CallSpy;
using testing::CreateFileSignature;
using testing::FailureOf;
using testing::FakeAttributes;
using testing::LongForm;
using testing::OverrideCall;

// Whatever a case sets up and must keep alive while the operation runs.
using Arrangement = std::shared_ptr<void>;
using RegOpenSignature = LSTATUS(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
using RegDeleteSignature = LSTATUS(HKEY, LPCWSTR, REGSAM, DWORD);

constexpr wchar_t EntryKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pelorin";

std::wstring Installed(std::wstring_view relative) { return JoinPath(InstallDirectory(), relative); }
std::wstring PayloadPath(std::size_t row) { return Installed(Utf8ToWide(PayloadManifest[row].name)); }
std::wstring Application() { return Installed(L"Pelorin.exe"); }
std::wstring Uninstaller() { return Installed(L"uninstall.exe"); }
std::wstring Marker() { return Installed(L".pelorin-installation"); }

std::size_t RowOf(const char* name) {
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        if (std::strcmp(PayloadManifest[row].name, name) == 0) return row;
    }
    ADD_FAILURE() << "the release has no file " << name;
    return 0;
}

std::wstring Upper(std::wstring text) {
    ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

void WriteLink(const std::wstring& path, const std::wstring& target) {
    const std::vector<std::uint8_t> bytes = BuildShortcutBytes(target);
    testing::CreateFolders(ParentPath(path));
    testing::WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
}

// Writes one value of any type into the uninstall entry (creating the key).
void SetEntryValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, EntryKey, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key,
                                nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    ::RegCloseKey(key);
}

void DeleteEntryValue(const wchar_t* name) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, EntryKey, 0, KEY_WRITE | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
    EXPECT_EQ(::RegDeleteValueW(key, name), ERROR_SUCCESS);
    ::RegCloseKey(key);
}

// Keeps track of the handles opened on one path while it lives.
class HandlesOn {
public:
    explicit HandlesOn(const std::wstring& path)
        : open_(SystemCalls().CreateFileW,
                [this, wanted = LongForm(path)](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                                DWORD disposition, DWORD flags, HANDLE templateFile) -> HANDLE {
                    const HANDLE handle =
                        open_.Original()(name, access, share, security, disposition, flags, templateFile);
                    const DWORD error = ::GetLastError();
                    if (handle != INVALID_HANDLE_VALUE && wanted == name) handles_.insert(handle);
                    ::SetLastError(error);
                    return handle;
                }),
          close_(SystemCalls().CloseHandle, [this](HANDLE handle) -> BOOL {
              handles_.erase(handle);
              return close_.Original()(handle);
          }) {}

    bool Contains(HANDLE handle) const { return handles_.count(handle) != 0; }

private:
    std::set<HANDLE> handles_;
    OverrideCall<CreateFileSignature> open_;
    OverrideCall<BOOL(HANDLE)> close_;
};

// Makes the system refuse the delete disposition on every handle opened on
// `path`, the way Windows refuses it for a file it protects.
class RefusedDeletion {
public:
    explicit RefusedDeletion(const std::wstring& path)
        : marked_(path), set_(SystemCalls().SetFileInformationByHandle,
                              [this](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size) -> BOOL {
                                  if (kind == FileDispositionInfo && marked_.Contains(handle)) {
                                      ::SetLastError(ERROR_ACCESS_DENIED);
                                      return FALSE;
                                  }
                                  return set_.Original()(handle, kind, data, size);
                              }) {}

private:
    HandlesOn marked_;
    OverrideCall<testing::FileInformationSignature> set_;
};

// Makes every read of a handle opened on `path` fail, as a device error would.
class RefusedRead {
public:
    using ReadSignature = BOOL(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    explicit RefusedRead(const std::wstring& path)
        : marked_(path), read_(SystemCalls().ReadFile,
                               [this](HANDLE handle, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped) {
                                   if (marked_.Contains(handle)) {
                                       ::SetLastError(ERROR_IO_DEVICE);
                                       return FALSE;
                                   }
                                   return read_.Original()(handle, buffer, size, got, overlapped);
                               }) {}

private:
    HandlesOn marked_;
    OverrideCall<ReadSignature> read_;
};

class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
    }
    void TearDown() override { testing::ResetProductState(); }

    // A real installation: files, uninstaller, marker, entry, Start-menu
    // shortcut and (if asked) the desktop shortcut.
    static void Install(bool desktop = false) {
        std::atomic<bool> cancel{false};
        Options options;
        options.createDesktopShortcut = desktop;
        const OperationResult installed = pelorin::setup::Install(options, cancel, {});
        ASSERT_EQ(installed.code, FailureCode::None);
        ASSERT_TRUE(installed.desktopShortcutOk);
    }

    OperationResult Run(std::function<void(const Progress&)> onReport = {}) {
        reports_.clear();
        return Uninstall(cancel_, [&](const Progress& p) {
            reports_.push_back(p);
            if (onReport) onReport(p);
        });
    }

    // The installation is still there, complete and unchanged, with its entry
    // and its Start-menu shortcut.
    static void ExpectIntact(const std::string& what) {
        EXPECT_NO_THROW(VerifyInstalledTree(InstallDirectory(), nullptr, {})) << what;
        EXPECT_EQ(testing::UninstallEntryString(L"InstallLocation"), InstallDirectory()) << what;
        EXPECT_EQ(testing::ShortcutTarget(StartMenuShortcutPath()), Application()) << what;
    }

    // The first report, one removal report per file found, the last report.
    void ExpectRemovalReports(std::uint64_t found) const {
        std::vector<std::string> expected{"0 0/0 yes"};
        for (std::uint64_t i = 0; i <= found; ++i) {
            expected.push_back("5 " + std::to_string(i) + "/" + std::to_string(found) + " no");
        }
        expected.push_back("6 0/0 no");
        std::vector<std::string> seen;
        for (const Progress& p : reports_) {
            seen.push_back(std::to_string(static_cast<int>(p.stage)) + " " + std::to_string(p.done) + "/" +
                           std::to_string(p.total) + (p.cancellable ? " yes" : " no"));
        }
        EXPECT_EQ(seen, expected);
    }

    std::atomic<bool> cancel_{false};
    std::vector<Progress> reports_;
};

TEST_F(UninstallTest, RemovesTheInstallationAndKeepsTheUserData) {
    Install(true);
    const std::wstring userData = JoinPath(DataDirectory(), L"account.json");
    testing::WriteFileBytes(userData, "{}");
    const std::wstring staging = JoinPath(ProductRootDirectory(), L".stage-0123456789abcdef0123456789abcdef");
    testing::CreateFolders(staging);

    testing::HandleLedger ledger;
    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::None);
    EXPECT_FALSE(result.canRetry);
    EXPECT_EQ(result.installPath, InstallDirectory());
    EXPECT_TRUE(result.desktopShortcutOk);
    EXPECT_EQ(ledger.Open(), 0u) << "every file and folder handle is closed";
    ExpectRemovalReports(PayloadEntryCount);

    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
    EXPECT_FALSE(testing::UninstallEntryExists());
    EXPECT_FALSE(testing::PathExists(StartMenuShortcutPath()));
    EXPECT_FALSE(testing::PathExists(DesktopShortcutPath()));
    // What belongs to the user or to other runs stays.
    EXPECT_TRUE(testing::PathExists(JoinPath(ProductRootDirectory(), L"installer.lock")));
    EXPECT_TRUE(testing::PathExists(JoinPath(DataDirectory(), L"session.lock")));
    EXPECT_EQ(testing::ReadFileBytes(userData), "{}");
    EXPECT_TRUE(testing::PathExists(staging));
}

TEST_F(UninstallTest, WithoutAnInstallationNothingChanges) {
    const struct {
        const char* what;
        bool productRoot;
    } cases[] = {{"no product root", false}, {"no version folder", true}};
    for (const auto& c : cases) {
        testing::ResetProductState();
        if (c.productRoot) testing::CreateFolders(ProductRootDirectory());
        // An entry and a shortcut that name the absent installation.
        testing::SetUninstallEntryString(L"InstallLocation", InstallDirectory());
        WriteLink(StartMenuShortcutPath(), Application());

        const OperationResult result = Run();
        EXPECT_EQ(result.code, FailureCode::InstallationNotFound) << c.what;
        EXPECT_FALSE(result.canRetry) << c.what;
        EXPECT_TRUE(result.installPath.empty()) << c.what;
        EXPECT_EQ(testing::PathExists(ProductRootDirectory()), c.productRoot) << c.what;
        EXPECT_FALSE(testing::PathExists(InstallDirectory())) << c.what;
        EXPECT_TRUE(testing::UninstallEntryExists()) << c.what;
        EXPECT_EQ(testing::ShortcutTarget(StartMenuShortcutPath()), Application()) << c.what;
    }
}

TEST_F(UninstallTest, AnInstallationThatIsNotTheRecordedOneIsLeftAlone) {
    Install();
    const std::string marker = testing::ReadFileBytes(Marker());
    const std::string uninstaller = testing::ReadFileBytes(Uninstaller());
    const std::size_t digestAt = marker.size() - 65;
    std::string upperDigest = marker;
    for (std::size_t i = digestAt; i < digestAt + 64; ++i) {
        upperDigest[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upperDigest[i])));
    }
    std::string otherVersion = marker;
    otherVersion.replace(otherVersion.find("0.5.0"), 5, "0.5.1");
    std::string otherUninstaller = uninstaller;
    otherUninstaller.back() ^= 0x01;

    const struct {
        const char* what;
        std::function<void()> alter;
        FailureCode code;
    } cases[] = {
        {"marker missing", [] { testing::RemoveTree(Marker()); }, FailureCode::InstallationNotFound},
        {"digest in upper case", [&] { testing::WriteFileBytes(Marker(), upperDigest); },
         FailureCode::VerificationFailed},
        {"other version", [&] { testing::WriteFileBytes(Marker(), otherVersion); }, FailureCode::VerificationFailed},
        {"uninstaller replaced", [&] { testing::WriteFileBytes(Uninstaller(), otherUninstaller); },
         FailureCode::VerificationFailed},
    };
    for (const auto& c : cases) {
        c.alter();
        const OperationResult result = Run();
        EXPECT_EQ(result.code, c.code) << c.what;
        EXPECT_FALSE(result.canRetry) << c.what;
        EXPECT_TRUE(result.installPath.empty()) << c.what;
        testing::WriteFileBytes(Marker(), marker);
        testing::WriteFileBytes(Uninstaller(), uninstaller);
        ExpectIntact(c.what);  // nothing else was touched
    }
}

TEST_F(UninstallTest, RefusesToRemoveTheUninstallerItRunsAs) {
    Install();
    // The running program reports itself as the installed uninstaller, spelt
    // in another letter case.
    const std::wstring self = Upper(Uninstaller());
    OverrideCall<DWORD(HMODULE, LPWSTR, DWORD)> module(SystemCalls().GetModuleFileNameW,
                                                       [&](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
                                                           if (size <= self.size()) return 0;
                                                           std::wmemcpy(buffer, self.c_str(), self.size() + 1);
                                                           return static_cast<DWORD>(self.size());
                                                       });
    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::AppRunning);
    EXPECT_TRUE(result.canRetry);
    ExpectIntact("running as the uninstaller");
}

TEST_F(UninstallTest, FilesAlreadyGoneAreSkippedAndNotCounted) {
    Install();
    // One file, and a folder with everything below it.
    testing::RemoveTree(PayloadPath(RowOf("Pelorin.dll")));
    testing::RemoveTree(Installed(L"licenses\\sources"));
    std::size_t gone = 1;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        gone += std::strncmp(PayloadManifest[row].name, "licenses/sources/", 17) == 0 ? 1 : 0;
    }
    ASSERT_GT(gone, 1u);

    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::None);
    ExpectRemovalReports(PayloadEntryCount - gone);
    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
    EXPECT_FALSE(testing::UninstallEntryExists());
}

TEST_F(UninstallTest, AFileThatCannotBeRemovedStopsItBeforeAnythingIsRemoved) {
    Install();
    // The last file, so that every other one has been found and held first.
    const std::wstring file = PayloadPath(PayloadEntryCount - 1);
    const std::wstring folder = Installed(L"licenses\\sources\\github.com");
    const std::wstring secondLink = JoinPath(ProductRootDirectory(), L"second-link");

    const struct {
        const char* what;
        std::function<Arrangement()> arrange;
        std::function<void()> undo;
        FailureCode code;
    } cases[] = {
        {"read-only file", [&] { testing::SetReadOnly(file, true); return Arrangement(); },
         [&] { testing::SetReadOnly(file, false); }, FailureCode::WriteFailed},
        {"read-only uninstaller", [&] { testing::SetReadOnly(Uninstaller(), true); return Arrangement(); },
         [&] { testing::SetReadOnly(Uninstaller(), false); }, FailureCode::WriteFailed},
        {"read-only marker", [&] { testing::SetReadOnly(Marker(), true); return Arrangement(); },
         [&] { testing::SetReadOnly(Marker(), false); }, FailureCode::WriteFailed},
        {"file open elsewhere without delete sharing",
         [&] {
             return std::make_shared<testing::TestHandle>(
                 testing::HoldOpen(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
         },
         [] {}, FailureCode::AppRunning},
        {"file with a second hard link",
         [&] {
             EXPECT_TRUE(::CreateHardLinkW(LongForm(secondLink).c_str(), LongForm(file).c_str(), nullptr));
             return Arrangement();
         },
         [&] { testing::RemoveTree(secondLink); }, FailureCode::InstallFolderRejected},
        {"symbolic link in the file's place",
         [&] { return std::make_shared<FakeAttributes>(file, FILE_ATTRIBUTE_REPARSE_POINT); }, [] {},
         FailureCode::InstallFolderRejected},
        {"junction in the folder's place",
         [&] { return std::make_shared<FakeAttributes>(folder, FILE_ATTRIBUTE_REPARSE_POINT); }, [] {},
         FailureCode::InstallFolderRejected},
    };
    for (const auto& c : cases) {
        {
            const Arrangement arrangement = c.arrange();
            testing::HandleLedger ledger;
            const OperationResult result = Run();
            EXPECT_EQ(result.code, c.code) << c.what;
            EXPECT_EQ(ledger.Open(), 0u) << c.what;
            for (const Progress& p : reports_) EXPECT_NE(p.stage, Stage::Removing) << c.what;
        }
        c.undo();
        ExpectIntact(c.what);
    }

    // A folder where a file is expected cannot be opened as a file.
    const std::string bytes = testing::ReadFileBytes(file);
    testing::RemoveTree(file);
    testing::CreateFolders(file);
    EXPECT_EQ(Run().code, FailureCode::WriteFailed);
    testing::RemoveTree(file);
    testing::WriteFileBytes(file, bytes);
    ExpectIntact("folder in the file's place");
}

TEST_F(UninstallTest, CancelIsHonouredOnlyBeforeTheRemoval) {
    Install();
    cancel_ = true;
    OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::Cancelled);
    EXPECT_FALSE(result.canRetry);
    ExpectIntact("cancelled at the start");

    // Asked while the files are being found: the run still finds them all,
    // then stops.
    cancel_ = false;
    {
        CallSpy<CreateFileSignature> opens(SystemCalls().CreateFileW);
        opens.OnCall([this, wanted = LongForm(PayloadPath(0))](LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                                                                DWORD, DWORD, HANDLE) {
            if (wanted == name) cancel_ = true;
        });
        result = Run();
    }
    EXPECT_EQ(result.code, FailureCode::Cancelled);
    ExpectIntact("cancelled while collecting");

    // Asked once the removal has begun: ignored.
    cancel_ = false;
    result = Run([&](const Progress& p) {
        if (p.stage == Stage::Removing) cancel_ = true;
    });
    EXPECT_EQ(result.code, FailureCode::None);
    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
}

TEST_F(UninstallTest, ShortcutsThatAreNotThisInstallationsStay) {
    Install(true);
    const std::wstring elsewhere = JoinPath(JoinPath(ProductRootDirectory(), L"0.4.0"), L"Pelorin.exe");
    WriteLink(StartMenuShortcutPath(), elsewhere);
    const std::string startMenu = testing::ReadFileBytes(StartMenuShortcutPath());
    testing::WriteFileBytes(DesktopShortcutPath(), "not a shell link at all");

    EXPECT_EQ(Run().code, FailureCode::None);
    EXPECT_EQ(testing::ReadFileBytes(StartMenuShortcutPath()), startMenu);
    EXPECT_EQ(testing::ReadFileBytes(DesktopShortcutPath()), "not a shell link at all");
    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
}

TEST_F(UninstallTest, ADesktopShortcutThatIsALinkStays) {
    Install(true);
    {
        FakeAttributes link(DesktopShortcutPath(), FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_EQ(Run().code, FailureCode::None);
    }
    EXPECT_TRUE(testing::PathExists(DesktopShortcutPath()));
    EXPECT_FALSE(testing::PathExists(StartMenuShortcutPath()));
    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
}

TEST_F(UninstallTest, FailuresDuringTheRemovalLeaveWhatCanBeRemovedAgain) {
    constexpr std::size_t All = static_cast<std::size_t>(-1);
    const struct {
        const char* what;
        std::function<Arrangement()> arrange;
        FailureCode code;
        std::size_t firstFileLeft;  // payload rows from here on remain
        bool shortcutLeft, entryLeft, uninstallerLeft;
    } cases[] = {
        {"third file's deletion refused",
         [] { return std::make_shared<RefusedDeletion>(PayloadPath(2)); }, FailureCode::WriteFailed, 2, true, true,
         true},
        {"Start-menu shortcut is a link",
         [] { return std::make_shared<FakeAttributes>(StartMenuShortcutPath(), FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected, All, true, true, true},
        {"entry cannot be opened",
         [] {
             auto open = std::make_shared<CallSpy<RegOpenSignature>>(SystemCalls().RegOpenKeyExW);
             open->FailCall(1, ERROR_ACCESS_DENIED);
             return open;
         },
         FailureCode::RegistrationFailed, All, false, true, true},
        {"entry cannot be deleted",
         [] {
             auto erase = std::make_shared<CallSpy<RegDeleteSignature>>(SystemCalls().RegDeleteKeyExW);
             erase->FailCall(1, ERROR_ACCESS_DENIED);
             return erase;
         },
         FailureCode::RegistrationFailed, All, false, true, true},
        {"uninstaller's deletion refused", [] { return std::make_shared<RefusedDeletion>(Uninstaller()); },
         FailureCode::WriteFailed, All, false, false, true},
        {"marker's deletion refused (the uninstaller is kept with it)",
         [] { return std::make_shared<RefusedDeletion>(Marker()); }, FailureCode::WriteFailed, All, false, false, true},
    };
    for (const auto& c : cases) {
        Install();
        {
            const Arrangement arrangement = c.arrange();
            const OperationResult result = Run();
            EXPECT_EQ(result.code, c.code) << c.what;
            EXPECT_TRUE(result.installPath.empty()) << c.what;
        }
        for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
            EXPECT_EQ(testing::PathExists(PayloadPath(row)), row >= c.firstFileLeft) << c.what << " row " << row;
        }
        EXPECT_EQ(testing::PathExists(StartMenuShortcutPath()), c.shortcutLeft) << c.what;
        EXPECT_EQ(testing::UninstallEntryExists(), c.entryLeft) << c.what;
        EXPECT_EQ(testing::PathExists(Uninstaller()), c.uninstallerLeft) << c.what;
        EXPECT_TRUE(testing::PathExists(Marker())) << c.what;

        if (c.uninstallerLeft) {  // recognisable still: a second run finishes the job
            EXPECT_EQ(Run().code, FailureCode::None) << c.what;
            EXPECT_FALSE(testing::PathExists(InstallDirectory())) << c.what;
            EXPECT_FALSE(testing::UninstallEntryExists()) << c.what;
            EXPECT_FALSE(testing::PathExists(StartMenuShortcutPath())) << c.what;
        }
        testing::ResetProductState();
    }
}

TEST_F(UninstallTest, AMarkerNeverOutlivesItsUninstaller) {
    // The uninstaller cannot go, and keeping the marker with it fails too.
    Install();
    {
        RefusedDeletion uninstaller(Uninstaller());
        OverrideCall<testing::FileInformationSignature> keepRefused(
            SystemCalls().SetFileInformationByHandle,
            [&keepRefused](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size) -> BOOL {
                if (kind == FileDispositionInfo && !static_cast<FILE_DISPOSITION_INFO*>(data)->DeleteFile) {
                    ::SetLastError(ERROR_ACCESS_DENIED);
                    return FALSE;
                }
                return keepRefused.Original()(handle, kind, data, size);
            });
        EXPECT_EQ(Run().code, FailureCode::WriteFailed);
    }
    EXPECT_FALSE(testing::PathExists(Marker()));
    EXPECT_TRUE(testing::PathExists(Uninstaller()));
    // What is left is no installation: the uninstaller says so, and the
    // installer run without parameters makes a working one.
    EXPECT_EQ(Run().code, FailureCode::InstallationNotFound);
    Install();
    EXPECT_NO_THROW(VerifyInstalledTree(InstallDirectory(), nullptr, {}));
    EXPECT_EQ(Run().code, FailureCode::None);
}

TEST_F(UninstallTest, AShortcutOrEntryThatCannotBeCheckedIsNeverTakenForForeign) {
    using QuerySignature = LSTATUS(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    using CreateInstanceSignature = HRESULT(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
    const struct {
        const char* what;
        std::function<Arrangement()> arrange;
        FailureCode code;
        bool shortcutRemoved;
    } cases[] = {
        {"the Start-menu shortcut cannot be read",
         [] { return std::make_shared<RefusedRead>(StartMenuShortcutPath()); }, FailureCode::WriteFailed, false},
        {"the link object cannot be had",
         [] {
             auto create = std::make_shared<CallSpy<CreateInstanceSignature>>(SystemCalls().CoCreateInstance);
             create->FailCall(1, E_FAIL);
             return create;
         },
         FailureCode::RegistrationFailed, false},
        {"the entry's location cannot be read",
         [] {
             auto query = std::make_shared<CallSpy<QuerySignature>>(SystemCalls().RegQueryValueExW);
             query->FailCall(1, ERROR_ACCESS_DENIED);
             return query;
         },
         FailureCode::RegistrationFailed, true},
    };
    for (const auto& c : cases) {
        Install();
        {
            const Arrangement arrangement = c.arrange();
            const OperationResult result = Run();
            EXPECT_EQ(result.code, c.code) << c.what;
            EXPECT_TRUE(result.canRetry) << c.what;
        }
        // Nothing that identifies the installation is gone, so running the
        // uninstaller again finishes the job.
        EXPECT_EQ(testing::PathExists(StartMenuShortcutPath()), !c.shortcutRemoved) << c.what;
        EXPECT_EQ(testing::UninstallEntryString(L"InstallLocation"), InstallDirectory()) << c.what;
        EXPECT_TRUE(testing::PathExists(Uninstaller())) << c.what;
        EXPECT_TRUE(testing::PathExists(Marker())) << c.what;

        EXPECT_EQ(Run().code, FailureCode::None) << c.what;
        EXPECT_FALSE(testing::PathExists(InstallDirectory())) << c.what;
        EXPECT_FALSE(testing::UninstallEntryExists()) << c.what;
        EXPECT_FALSE(testing::PathExists(StartMenuShortcutPath())) << c.what;
        testing::ResetProductState();
    }
}

TEST_F(UninstallTest, OnlyTheEntryOfThisInstallDirectoryIsRemoved) {
    const std::wstring location = InstallDirectory();
    const std::wstring unterminated(32768, L'x');
    const struct {
        const char* what;
        std::function<void()> alter;
        bool removed;
    } cases[] = {
        {"as written", [] {}, true},
        {"other letter case", [&] { testing::SetUninstallEntryString(L"InstallLocation", Upper(location)); }, true},
        {"other folder",
         [&] { testing::SetUninstallEntryString(L"InstallLocation", JoinPath(ProductRootDirectory(), L"0.4.0")); },
         false},
        {"trailing backslash", [&] { testing::SetUninstallEntryString(L"InstallLocation", location + L"\\"); }, false},
        {"expandable text",
         [&] {
             SetEntryValue(L"InstallLocation", REG_EXPAND_SZ, location.c_str(),
                           static_cast<DWORD>((location.size() + 1) * sizeof(wchar_t)));
         },
         false},
        {"no terminator within the buffer",
         [&] {
             SetEntryValue(L"InstallLocation", REG_SZ, unterminated.data(),
                           static_cast<DWORD>(unterminated.size() * sizeof(wchar_t)));
         },
         false},
        {"value missing", [] { DeleteEntryValue(L"InstallLocation"); }, false},
        {"no entry", [] { ::RegDeleteTreeW(HKEY_CURRENT_USER, EntryKey); }, false},
    };
    for (const auto& c : cases) {
        Install();
        c.alter();
        const bool existed = testing::UninstallEntryExists();
        EXPECT_EQ(Run().code, FailureCode::None) << c.what;
        EXPECT_EQ(testing::UninstallEntryExists(), existed && !c.removed) << c.what;
        EXPECT_FALSE(testing::PathExists(InstallDirectory())) << c.what;
        testing::ResetProductState();
    }
}

TEST_F(UninstallTest, AUserFileKeepsItsFolders) {
    Install();
    const std::wstring notes = Installed(L"licenses\\packages\\tessel\\notes.txt");
    testing::WriteFileBytes(notes, "mine");

    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::None);
    EXPECT_EQ(result.installPath, InstallDirectory());
    EXPECT_EQ(testing::ReadFileBytes(notes), "mine");
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        EXPECT_FALSE(testing::PathExists(PayloadPath(row))) << row;
    }
    EXPECT_FALSE(testing::PathExists(Uninstaller()));
    EXPECT_FALSE(testing::PathExists(Marker()));
    EXPECT_FALSE(testing::PathExists(Installed(L"licenses\\packages\\tessel\\11.1.3")));
    EXPECT_FALSE(testing::PathExists(Installed(L"licenses\\sources")));
    EXPECT_FALSE(testing::UninstallEntryExists());
}

TEST_F(UninstallTest, TheRunningApplicationStopsIt) {
    Install();
    {
        testing::StandInProcess application;
        const OperationResult result = Run();
        EXPECT_EQ(result.code, FailureCode::AppRunning);
        EXPECT_TRUE(result.canRetry);
    }
    ExpectIntact("application running");
}

// --- The shortcut test on its own --------------------------------------------

class ShortcutOfInstallation : public ::testing::Test {
protected:
    std::wstring Shortcut() const { return folder_.Path(L"Pelorin.lnk"); }
    std::wstring InstallFolder() const { return folder_.Path(L"Programs\\Pelorin\\0.5.0"); }
    std::wstring Ours() const { return JoinPath(InstallFolder(), L"Pelorin.exe"); }

    void WriteBytes(const std::vector<std::uint8_t>& bytes) const {
        testing::WriteFileBytes(Shortcut(), std::string(bytes.begin(), bytes.end()));
    }
    bool Test() const { return IsShortcutOfInstallation(Shortcut(), InstallFolder()); }

    testing::TempFolder folder_;
};

TEST_F(ShortcutOfInstallation, RecognisesOnlyALinkToTheApplication) {
    std::vector<std::uint8_t> full = BuildShortcutBytes(Ours());
    full.resize(MaxShortcutBytes);
    std::vector<std::uint8_t> oversized = full;
    oversized.push_back(0);
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool ours;
    } cases[] = {
        {"the application", BuildShortcutBytes(Ours()), true},
        {"the application in upper case", BuildShortcutBytes(Upper(Ours())), true},
        {"padded to the largest size", full, true},
        {"one byte too large", oversized, false},
        {"another folder's application", BuildShortcutBytes(folder_.Path(L"Programs\\Pelorin\\0.4.0\\Pelorin.exe")),
         false},
        {"the uninstaller", BuildShortcutBytes(JoinPath(InstallFolder(), L"uninstall.exe")), false},
        {"not a link", std::vector<std::uint8_t>{'L', 0, 0, 0, 'x', 'y'}, false},
        {"empty", {}, false},
    };
    for (const auto& c : cases) {
        WriteBytes(c.bytes);
        EXPECT_EQ(Test(), c.ours) << c.what;
    }
}

TEST_F(ShortcutOfInstallation, ACheckThatCannotBeMadeIsAFailureNotANo) {
    WriteBytes(BuildShortcutBytes(Ours()));
    ASSERT_TRUE(Test());
    using CreateInstanceSignature = HRESULT(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
    using CreateStreamSignature = HRESULT(HGLOBAL, BOOL, LPSTREAM*);
    using ReadSignature = BOOL(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    const struct {
        const char* what;
        std::function<Arrangement()> arrange;
        FailureCode code;
        bool apartmentEntered;
    } cases[] = {
        {"size unknown",
         [] {
             auto size = std::make_shared<CallSpy<BOOL(HANDLE, PLARGE_INTEGER)>>(SystemCalls().GetFileSizeEx);
             size->FailCall(1, FALSE, ERROR_ACCESS_DENIED);
             return size;
         },
         FailureCode::WriteFailed, false},
        {"read fails",
         [] {
             auto read = std::make_shared<CallSpy<ReadSignature>>(SystemCalls().ReadFile);
             read->FailCall(1, FALSE, ERROR_IO_DEVICE);
             return read;
         },
         FailureCode::WriteFailed, false},
        {"read short",
         [] {
             auto read = std::make_shared<OverrideCall<ReadSignature>>(
                 SystemCalls().ReadFile, [](HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED) {
                     return ::ReadFile(file, buffer, size - 1, got, nullptr);
                 });
             return read;
         },
         FailureCode::WriteFailed, false},
        {"thread already in another apartment",
         [] {
             // The single-threaded apartment is then refused.
             struct Multithreaded {
                 Multithreaded() { EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
                 ~Multithreaded() { ::CoUninitialize(); }
             };
             return std::make_shared<Multithreaded>();
         },
         FailureCode::RegistrationFailed, false},
        {"no link object",
         [] {
             auto create = std::make_shared<CallSpy<CreateInstanceSignature>>(SystemCalls().CoCreateInstance);
             create->FailCall(1, REGDB_E_CLASSNOTREG);
             return create;
         },
         FailureCode::RegistrationFailed, true},
        {"no stream",
         [] {
             auto stream = std::make_shared<CallSpy<CreateStreamSignature>>(SystemCalls().CreateStreamOnHGlobal);
             stream->FailCall(1, E_OUTOFMEMORY);
             return stream;
         },
         FailureCode::RegistrationFailed, true},
    };
    for (const auto& c : cases) {
        CallSpy<void()> leave(SystemCalls().CoUninitialize);
        testing::HandleLedger ledger;
        {
            const Arrangement arrangement = c.arrange();
            EXPECT_EQ(FailureOf([&] { Test(); }), c.code) << c.what;
        }
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
        // The apartment is left exactly when it was entered.
        EXPECT_EQ(leave.Calls(), c.apartmentEntered ? 1 : 0) << c.what;
    }
    EXPECT_TRUE(Test()) << "nothing was left behind";
}

TEST_F(ShortcutOfInstallation, OnlyAShortcutThatCannotBeOpenedIsAFailure) {
    EXPECT_EQ(FailureOf([&] { Test(); }), FailureCode::InstallationNotFound) << "no file";
    EXPECT_EQ(FailureOf([&] { IsShortcutOfInstallation(folder_.Path(L"Desktop\\Pelorin.lnk"), InstallFolder()); }),
              FailureCode::InstallationNotFound)
        << "no folder";
    testing::CreateFolders(Shortcut());
    EXPECT_EQ(FailureOf([&] { Test(); }), FailureCode::WriteFailed) << "a folder";
    testing::RemoveTree(Shortcut());
    WriteBytes(BuildShortcutBytes(Ours()));
    {
        FakeAttributes link(Shortcut(), FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_EQ(FailureOf([&] { Test(); }), FailureCode::InstallFolderRejected) << "a symbolic link";
    }
    {
        FakeAttributes junction(folder_.Root(), FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_EQ(FailureOf([&] { Test(); }), FailureCode::InstallFolderRejected) << "a junction on the way";
    }
}

}  // namespace
}  // namespace pelorin::setup
