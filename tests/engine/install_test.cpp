// The install operation end to end against the local release server, which
// serves the small release this program links.
#include "engine/install.h"

#include <functional>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/uninstall.h"
#include "payload/entry_names.h"
#include "payload/manifest.h"
#include "payload/verify.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/install_tree.h"
#include "tests/support/links.h"
#include "tests/support/override_call.h"
#include "tests/support/product_state.h"
#include "tests/support/release_server.h"
#include "tests/support/standin_process.h"
#include "tests/support/system_call_fakes.h"

namespace pelorin::setup {
namespace {

using testing::OverrideCall;
using SetValueSignature = LSTATUS(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);

// The folders an install moved aside, by name, in the product root.
std::vector<std::wstring> LeftoverFolders() {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data{};
    const std::wstring pattern = JoinPath(ProductRootDirectory(), L"0.5.0.leftover-*");
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        found.push_back(JoinPath(ProductRootDirectory(), data.cFileName));
    } while (::FindNextFileW(search, &data));
    ::FindClose(search);
    return found;
}

// What an uninstall leaves in the version folder when its last removals fail
// or the user kept a file in it: the release's folders, some of them holding
// the user's files, and no marker.
void MakeLeftover(const std::vector<std::wstring>& userFiles) {
    for (const std::wstring& folder : ManifestDirectories()) {
        testing::CreateFolders(JoinPath(InstallDirectory(), folder));
    }
    for (const std::wstring& file : userFiles) {
        testing::WriteFileBytes(JoinPath(InstallDirectory(), file), "the user's own: " + std::string(file.begin(), file.end()));
    }
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
    }
    void TearDown() override {
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
    }

    OperationResult Run(bool desktop = false, std::function<void(const Progress&)> onReport = {}) {
        reports_.clear();
        Options options;
        options.createDesktopShortcut = desktop;
        return Install(options, cancel_, [&](const Progress& p) {
            reports_.push_back(p);
            if (onReport) onReport(p);
        });
    }

    std::size_t Count(Stage stage) const {
        std::size_t n = 0;
        for (const Progress& p : reports_) n += p.stage == stage ? 1 : 0;
        return n;
    }

    static std::wstring Application() { return JoinPath(InstallDirectory(), L"Pelorin.exe"); }

    std::atomic<bool> cancel_{false};
    std::vector<Progress> reports_;
};

TEST_F(InstallTest, FreshInstallReportsEveryStageInOrder) {
    const OperationResult result = Run();
    ASSERT_EQ(result.code, FailureCode::None);
    EXPECT_FALSE(result.canRetry);
    EXPECT_EQ(result.installPath, InstallDirectory());
    EXPECT_TRUE(result.desktopShortcutOk);

    // Stages never go back, and cancellable turns false exactly at Finalizing.
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.front().stage, Stage::Preparing);
    EXPECT_EQ(reports_.back().stage, Stage::Completing);
    for (std::size_t i = 1; i < reports_.size(); ++i) {
        EXPECT_GE(static_cast<int>(reports_[i].stage), static_cast<int>(reports_[i - 1].stage)) << i;
    }
    for (const Progress& p : reports_) {
        EXPECT_EQ(p.cancellable, static_cast<int>(p.stage) < static_cast<int>(Stage::Finalizing));
        if (p.stage == Stage::Downloading || p.stage == Stage::Verifying) {
            EXPECT_EQ(p.total, ReleaseArchiveSize);
        }
        if (p.stage == Stage::Installing) {
            EXPECT_EQ(p.total, PayloadTotalBytes);
        }
    }
    EXPECT_EQ(Count(Stage::Verifying), 1u);
    EXPECT_EQ(Count(Stage::Installing), PayloadEntryCount);
    EXPECT_EQ(Count(Stage::Finalizing), 1u);
    EXPECT_EQ(Count(Stage::Completing), 1u);

    // What the user now has.
    EXPECT_NO_THROW(VerifyInstalledTree(InstallDirectory(), nullptr, {}));
    EXPECT_EQ(testing::StagingFolderCount(), 0);
    EXPECT_EQ(testing::UninstallEntryValueCount(), 10);
    EXPECT_EQ(testing::UninstallEntryString(L"InstallLocation"), InstallDirectory());
    EXPECT_EQ(testing::ShortcutTarget(StartMenuShortcutPath()), Application());
    EXPECT_FALSE(testing::PathExists(DesktopShortcutPath()));
    EXPECT_EQ(testing::ReadFileBytes(JoinPath(ProductRootDirectory(), L"installer.lock")), "");
    EXPECT_EQ(testing::ReadFileBytes(JoinPath(DataDirectory(), L"session.lock")), "");
}

TEST_F(InstallTest, AnIntactInstallationIsRegisteredAgainWithoutDownload) {
    ASSERT_EQ(Run(true).code, FailureCode::None);
    testing::RemoveTree(StartMenuShortcutPath());
    testing::SetUninstallEntryString(L"Comments", L"kept");
    testing::SetServerMode(L"mode=normal");  // clears the request log

    const OperationResult result = Run();
    ASSERT_EQ(result.code, FailureCode::None);
    EXPECT_EQ(result.installPath, InstallDirectory());
    EXPECT_EQ(testing::DownloadRequestCount(), 0);
    EXPECT_EQ(Count(Stage::Downloading), 0u);
    EXPECT_EQ(Count(Stage::Installing), 0u);
    EXPECT_EQ(Count(Stage::Verifying), PayloadEntryCount);
    EXPECT_EQ(reports_[reports_.size() - 3].done, PayloadTotalBytes);
    EXPECT_EQ(testing::ShortcutTarget(StartMenuShortcutPath()), Application());
    EXPECT_EQ(testing::UninstallEntryString(L"Comments"), L"kept") << "other values survive";
    EXPECT_EQ(testing::UninstallEntryValueCount(), 11);
}

TEST_F(InstallTest, AnAlteredInstallationIsNotRegistered) {
    ASSERT_EQ(Run().code, FailureCode::None);
    testing::ResetProductState();
    ASSERT_EQ(Run().code, FailureCode::None);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pelorin");
    testing::RemoveTree(StartMenuShortcutPath());
    const std::wstring file = JoinPath(InstallDirectory(), Utf8ToWide(PayloadManifest[PayloadEntryCount - 1].name));
    std::string bytes = testing::ReadFileBytes(file);
    bytes[0] ^= 0x01;
    testing::WriteFileBytes(file, bytes);

    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::VerificationFailed);
    EXPECT_FALSE(result.canRetry);
    EXPECT_TRUE(result.installPath.empty());
    EXPECT_FALSE(testing::UninstallEntryExists());
    EXPECT_FALSE(testing::PathExists(StartMenuShortcutPath()));
}

TEST_F(InstallTest, AVersionFolderWithoutMarkerIsReplacedAndNothingInItIsLost) {
    const struct {
        const char* what;
        std::vector<std::wstring> userFiles;
    } cases[] = {
        {"only the release's empty folders", {}},
        {"a file kept at the top", {L"notes.txt"}},
        {"files kept deep in the release's folders and named like release files",
         {L"licenses\\packages\\tessel\\notes.txt", Utf8ToWide(PayloadManifest[0].name)}},
    };
    for (const auto& c : cases) {
        testing::ResetProductState();
        MakeLeftover(c.userFiles);
        const OperationResult result = Run();
        ASSERT_EQ(result.code, FailureCode::None) << c.what;
        EXPECT_NO_THROW(VerifyInstalledTree(InstallDirectory(), nullptr, {})) << c.what;
        EXPECT_EQ(testing::UninstallEntryString(L"InstallLocation"), InstallDirectory()) << c.what;
        EXPECT_GT(Count(Stage::Downloading), 0u) << c.what;

        const std::vector<std::wstring> aside = LeftoverFolders();
        if (c.userFiles.empty()) {
            EXPECT_TRUE(aside.empty()) << c.what << ": empty folders are not kept";
            continue;
        }
        ASSERT_EQ(aside.size(), 1u) << c.what;
        EXPECT_EQ(aside[0].size(), JoinPath(ProductRootDirectory(), L"0.5.0.leftover-").size() + 32) << c.what;
        for (const std::wstring& file : c.userFiles) {
            EXPECT_EQ(testing::ReadFileBytes(JoinPath(aside[0], file)),
                      "the user's own: " + std::string(file.begin(), file.end()))
                << c.what;
        }
        // The new installation uninstalls as usual; the folder set aside stays.
        std::atomic<bool> cancel{false};
        EXPECT_EQ(Uninstall(cancel, {}).code, FailureCode::None) << c.what;
        EXPECT_EQ(LeftoverFolders(), aside) << c.what;
    }
}

TEST_F(InstallTest, ALeftoverIsTouchedOnlyAtThePointOfNoReturn) {
    const std::wstring kept = L"licenses\\notes.txt";
    MakeLeftover({kept});

    // A failed download, and a refused move aside: the folder stays as it
    // was, the staging folder goes, and the user can retry.
    testing::SetServerMode(L"mode=status-503");
    OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::DownloadFailed);
    testing::SetServerMode(L"mode=normal");
    {
        const std::wstring from = testing::LongForm(InstallDirectory());
        OverrideCall<BOOL(LPCWSTR, LPCWSTR, DWORD)> refused(
            SystemCalls().MoveFileExW, [&](LPCWSTR source, LPCWSTR target, DWORD flags) -> BOOL {
                if (source == from) {
                    ::SetLastError(ERROR_SHARING_VIOLATION);
                    return FALSE;
                }
                return ::MoveFileExW(source, target, flags);
            });
        result = Run();
    }
    EXPECT_EQ(result.code, FailureCode::WriteFailed);
    EXPECT_TRUE(result.canRetry);
    EXPECT_EQ(testing::StagingFolderCount(), 0);
    EXPECT_TRUE(LeftoverFolders().empty());
    EXPECT_EQ(testing::ReadFileBytes(JoinPath(InstallDirectory(), kept)), "the user's own: licenses\\notes.txt");
    EXPECT_FALSE(testing::PathExists(JoinPath(InstallDirectory(), L".pelorin-installation")));
    EXPECT_FALSE(testing::UninstallEntryExists());

    ASSERT_EQ(Run().code, FailureCode::None) << "the retry the message asks for";
    ASSERT_EQ(LeftoverFolders().size(), 1u);
    EXPECT_EQ(testing::ReadFileBytes(JoinPath(LeftoverFolders()[0], kept)), "the user's own: licenses\\notes.txt");
}

TEST_F(InstallTest, AMarkerThatCannotBeReadIsNoLeftover) {
    ASSERT_EQ(Run().code, FailureCode::None);
    const std::wstring marker = JoinPath(InstallDirectory(), L".pelorin-installation");
    // Held by another program without sharing: not absent, just not readable now.
    const HANDLE held = ::CreateFileW(marker.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    testing::SetServerMode(L"mode=normal");
    const OperationResult result = Run();
    ::CloseHandle(held);
    EXPECT_EQ(result.code, FailureCode::AppRunning);
    EXPECT_EQ(testing::DownloadRequestCount(), 0);
    EXPECT_TRUE(LeftoverFolders().empty());
    EXPECT_NO_THROW(VerifyInstalledTree(InstallDirectory(), nullptr, {}));
}

TEST_F(InstallTest, AVersionFolderThatIsNotAFolderIsRejected) {
    testing::CreateFolders(ProductRootDirectory());
    testing::WriteFileBytes(InstallDirectory(), "a file");
    EXPECT_EQ(Run().code, FailureCode::InstallFolderRejected);
    testing::RemoveTree(InstallDirectory());
    testing::CreateFolders(InstallDirectory());
    {
        testing::FakeAttributes junction(InstallDirectory(), FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_EQ(Run().code, FailureCode::InstallFolderRejected);
    }
    EXPECT_FALSE(testing::UninstallEntryExists());
}

TEST_F(InstallTest, CancelBeforeTheEndLeavesNoStagingFolder) {
    const struct {
        const char* what;
        Stage at;
    } cases[] = {{"during the download", Stage::Downloading}, {"during the extraction", Stage::Installing}};
    for (const auto& c : cases) {
        cancel_ = false;
        const OperationResult result = Run(false, [&](const Progress& p) {
            if (p.stage == c.at && p.done > 0) cancel_ = true;
        });
        EXPECT_EQ(result.code, FailureCode::Cancelled) << c.what;
        EXPECT_FALSE(result.canRetry);
        EXPECT_EQ(testing::StagingFolderCount(), 0) << c.what;
        EXPECT_FALSE(testing::PathExists(InstallDirectory())) << c.what;
        EXPECT_FALSE(testing::UninstallEntryExists()) << c.what;
    }
}

TEST_F(InstallTest, CancelAfterFinalizingHasNoEffect) {
    const OperationResult result = Run(false, [&](const Progress& p) {
        if (p.stage == Stage::Finalizing) cancel_ = true;
    });
    EXPECT_EQ(result.code, FailureCode::None);
    EXPECT_TRUE(testing::UninstallEntryExists());
}

TEST_F(InstallTest, ARegistryFailureUndoesTheWholeInstall) {
    // An earlier registration and shortcut, which must come back unchanged.
    testing::SetUninstallEntryString(L"DisplayName", L"older");
    testing::CreateFolders(ParentPath(StartMenuShortcutPath()));
    testing::WriteFileBytes(StartMenuShortcutPath(), "older shortcut bytes");
    testing::CallSpy<SetValueSignature> failing(SystemCalls().RegSetValueExW);
    failing.FailCall(4, ERROR_ACCESS_DENIED);
    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::RegistrationFailed);
    EXPECT_TRUE(result.canRetry);
    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
    EXPECT_EQ(testing::StagingFolderCount(), 0);
    EXPECT_EQ(testing::UninstallEntryValueCount(), 1);
    EXPECT_EQ(testing::UninstallEntryString(L"DisplayName"), L"older");
    EXPECT_EQ(testing::ReadFileBytes(StartMenuShortcutPath()), "older shortcut bytes");
}

TEST_F(InstallTest, TheEntryIsNotWrittenWhenTheStartMenuShortcutFails) {
    // A folder named like the shortcut: its replacement fails before the
    // entry's turn comes.
    testing::SetUninstallEntryString(L"DisplayName", L"older");
    testing::CreateFolders(StartMenuShortcutPath());
    using CreateKeySignature = LSTATUS(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                                       LPDWORD);
    testing::CallSpy<CreateKeySignature> create(SystemCalls().RegCreateKeyExW);
    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::RegistrationFailed);
    EXPECT_EQ(create.Calls(), 0) << "the entry is written only after the shortcut is in place";
    EXPECT_EQ(testing::UninstallEntryValueCount(), 1);
    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
    EXPECT_EQ(testing::StagingFolderCount(), 0);
}

TEST_F(InstallTest, AFailedReRegistrationPutsEverythingBack) {
    ASSERT_EQ(Run().code, FailureCode::None);
    // What the earlier registration looks like now, changed by hand.
    testing::SetUninstallEntryString(L"DisplayVersion", L"edited");
    testing::WriteFileBytes(StartMenuShortcutPath(), "edited shortcut bytes");
    const std::string marker = testing::ReadFileBytes(JoinPath(InstallDirectory(), L".pelorin-installation"));
    testing::CallSpy<SetValueSignature> failing(SystemCalls().RegSetValueExW);
    failing.FailCall(7, ERROR_ACCESS_DENIED);
    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::RegistrationFailed);
    EXPECT_TRUE(result.canRetry);
    // The installation stays exactly as it was; entry and shortcut are back.
    EXPECT_NO_THROW(VerifyInstalledTree(InstallDirectory(), nullptr, {}));
    EXPECT_EQ(testing::ReadFileBytes(JoinPath(InstallDirectory(), L".pelorin-installation")), marker);
    EXPECT_EQ(testing::UninstallEntryString(L"DisplayVersion"), L"edited");
    EXPECT_EQ(testing::UninstallEntryValueCount(), 10);
    EXPECT_EQ(testing::ReadFileBytes(StartMenuShortcutPath()), "edited shortcut bytes");
}

TEST_F(InstallTest, ACancelOnTheLastReportBeforeTheEndIsHonoured) {
    ASSERT_EQ(Run().code, FailureCode::None) << "an installation to register again";
    testing::RemoveTree(StartMenuShortcutPath());
    const struct {
        const char* what;
        bool fresh;
        Stage last;  // the stage of the last report before Finalizing
    } cases[] = {{"re-registration", false, Stage::Verifying}, {"fresh install", true, Stage::Installing}};
    for (const auto& c : cases) {
        if (c.fresh) testing::ResetProductState();
        cancel_ = false;
        const OperationResult result = Run(false, [&](const Progress& p) {
            if (p.stage == c.last && p.done == p.total) cancel_ = true;
        });
        EXPECT_EQ(result.code, FailureCode::Cancelled) << c.what;
        EXPECT_EQ(Count(Stage::Finalizing), 0u) << c.what;
        EXPECT_EQ(testing::StagingFolderCount(), 0) << c.what;
        EXPECT_EQ(testing::PathExists(InstallDirectory()), !c.fresh) << c.what;
        EXPECT_FALSE(testing::PathExists(StartMenuShortcutPath())) << c.what;
    }
}

TEST_F(InstallTest, AVersionFolderThatCannotBeProbedIsRejectedBeforeAnyDownload) {
    const std::wstring version = testing::LongForm(InstallDirectory());
    OverrideCall<testing::CreateFileSignature> refused(
        SystemCalls().CreateFileW, [&](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                       DWORD disposition, DWORD flags, HANDLE templateFile) -> HANDLE {
            if (version == name) {
                ::SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            return ::CreateFileW(name, access, share, security, disposition, flags, templateFile);
        });
    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::InstallFolderRejected);
    EXPECT_FALSE(result.canRetry);
    EXPECT_EQ(testing::DownloadRequestCount(), 0);
    EXPECT_EQ(testing::StagingFolderCount(), 0);
}

TEST_F(InstallTest, TheDesktopShortcutIsOptional) {
    // A folder named like the shortcut: the install still succeeds.
    testing::CreateFolders(DesktopShortcutPath());
    OperationResult result = Run(true);
    EXPECT_EQ(result.code, FailureCode::None);
    EXPECT_FALSE(result.desktopShortcutOk);
    EXPECT_EQ(testing::ShortcutTarget(StartMenuShortcutPath()), Application());
    EXPECT_TRUE(testing::UninstallEntryExists());

    // Not asked for: an existing desktop shortcut stays as it is.
    testing::RemoveTree(DesktopShortcutPath());
    testing::WriteFileBytes(DesktopShortcutPath(), "user's own");
    result = Run(false);
    EXPECT_EQ(result.code, FailureCode::None);
    EXPECT_TRUE(result.desktopShortcutOk);
    EXPECT_EQ(testing::ReadFileBytes(DesktopShortcutPath()), "user's own");

    // Asked for: it points at the application.
    result = Run(true);
    EXPECT_TRUE(result.desktopShortcutOk);
    EXPECT_EQ(testing::ShortcutTarget(DesktopShortcutPath()), Application());
}

TEST_F(InstallTest, TheRunningApplicationOrAnotherSystemStopsItFirst) {
    {
        testing::StandInProcess application;
        const OperationResult result = Run();
        EXPECT_EQ(result.code, FailureCode::AppRunning);
        EXPECT_TRUE(result.canRetry);
    }
    // Only the folders and lock files of the locks themselves were made.
    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
    EXPECT_EQ(testing::StagingFolderCount(), 0);
    EXPECT_FALSE(testing::UninstallEntryExists());
    EXPECT_FALSE(testing::PathExists(StartMenuShortcutPath()));

    testing::ResetProductState();
    OverrideCall<void(LPSYSTEM_INFO)> arm(SystemCalls().GetNativeSystemInfo, [](LPSYSTEM_INFO info) {
        ::GetNativeSystemInfo(info);
        info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
    });
    EXPECT_EQ(Run().code, FailureCode::UnsupportedSystem);
    EXPECT_FALSE(testing::PathExists(ProductRootDirectory()));
}

TEST_F(InstallTest, AnAllocationFailureIsAFailedWrite) {
    OverrideCall<HINTERNET(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD)> exhausted(
        SystemCalls().WinHttpOpen, [](LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) -> HINTERNET { throw std::bad_alloc(); });
    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::WriteFailed);
    EXPECT_TRUE(result.canRetry);
    EXPECT_TRUE(result.installPath.empty());
}

}  // namespace
}  // namespace pelorin::setup
