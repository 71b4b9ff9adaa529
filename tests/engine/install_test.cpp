// The install operation end to end against the local release server, which
// serves the small release this program links.
#include "engine/install.h"

#include <functional>
#include <new>
#include <vector>

#include <gtest/gtest.h>

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
    int writes = 0;
    OverrideCall<LSTATUS(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)> failing(
        SystemCalls().RegSetValueExW,
        [&](HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) -> LSTATUS {
            if (++writes == 4) return ERROR_ACCESS_DENIED;
            return ::RegSetValueExW(key, name, reserved, type, data, size);
        });
    const OperationResult result = Run();
    EXPECT_EQ(result.code, FailureCode::RegistrationFailed);
    EXPECT_TRUE(result.canRetry);
    EXPECT_FALSE(testing::PathExists(InstallDirectory()));
    EXPECT_EQ(testing::StagingFolderCount(), 0);
    EXPECT_EQ(testing::UninstallEntryValueCount(), 1);
    EXPECT_EQ(testing::UninstallEntryString(L"DisplayName"), L"older");
    EXPECT_EQ(testing::ReadFileBytes(StartMenuShortcutPath()), "older shortcut bytes");
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
