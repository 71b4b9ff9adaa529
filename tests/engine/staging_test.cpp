// The staging folder, the uninstaller copy, the marker and the one rename that
// turns a staged tree into the installation.
#include "engine/staging.h"

#include <functional>

#include <gtest/gtest.h>

#include "engine/product.h"
#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/override_call.h"
#include "tests/support/system_call_fakes.h"

namespace pelorin::setup {
namespace {

using testing::FailureOf;

class Staging : public ::testing::Test {
protected:
    void SetUp() override { testing::ResetProductRoot(); }
    void TearDown() override { testing::ResetProductRoot(); }
};

TEST_F(Staging, FolderHasARandomNameAndIsRemovedUnlessCommitted) {
    std::wstring first, second;
    {
        auto staging = CreateStagingFolder();
        first = staging->path;
        EXPECT_TRUE(testing::PathExists(first));
        ScopedHandle file = CreateStagedFile(*staging, L"a/b/c/deep.txt");
        const char data[] = "content";
        WriteAll(file.Get(), data, sizeof(data));
        auto other = CreateStagingFolder();
        second = other->path;
    }
    const std::wstring root = ProductRootDirectory();
    const std::wstring prefix = root + L"\\.stage-";
    ASSERT_TRUE(first.starts_with(prefix));
    const std::wstring suffix = first.substr(prefix.size());
    EXPECT_EQ(suffix.size(), 32u);
    EXPECT_EQ(suffix.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
    EXPECT_NE(first, second);
    EXPECT_TRUE(testing::FolderIsEmpty(root));
}

TEST_F(Staging, StagedFilesAreNewAndRecorded) {
    auto staging = CreateStagingFolder();
    { ScopedHandle file = CreateStagedFile(*staging, L"licenses/x.txt"); }
    EXPECT_EQ(FailureOf([&] { CreateStagedFile(*staging, L"licenses/x.txt"); }), FailureCode::WriteFailed);
    EXPECT_EQ(staging->createdFiles, (std::vector<std::wstring>{L"licenses/x.txt"}));
}

TEST_F(Staging, MarkerIsExactly154Bytes) {
    const std::string digest(64, 'c');
    const std::string content = InstallMarkerContent(digest);
    ASSERT_EQ(content.size(), 154u);
    EXPECT_EQ(content, std::string("PELORIN-INSTALL-1\n0.5.0\n") + ReleaseArchiveSha256 + "\n" + digest + "\n");

    auto staging = CreateStagingFolder();
    WriteInstallMarker(*staging, digest);
    EXPECT_EQ(testing::ReadFileBytes(JoinPath(staging->path, InstallMarkerName)), content);
    EXPECT_EQ(ReadInstallMarker(staging->path), digest);
}

TEST_F(Staging, UninstallerIsAVerifiedCopyOfTheRunningProgram) {
    auto staging = CreateStagingFolder();
    const std::string digest = WriteUninstaller(*staging);
    const std::wstring copy = JoinPath(staging->path, UninstallerName);
    EXPECT_EQ(testing::ReadFileBytes(copy), testing::ReadFileBytes(OwnExecutablePath()));
    ScopedHandle file = OpenFileChecked(copy, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    EXPECT_EQ(HashFile(file.Get(), 0), digest);
    EXPECT_EQ(staging->createdFiles.back(), UninstallerName);
}

TEST_F(Staging, AFailedUninstallerCopyIsRemovedWithTheRest) {
    {
        auto staging = CreateStagingFolder();
        { ScopedHandle file = CreateStagedFile(*staging, L"a/readme.txt"); }
        testing::OverrideCall<BOOL(HANDLE)> failingFlush(SystemCalls().FlushFileBuffers, [](HANDLE) -> BOOL {
            ::SetLastError(ERROR_IO_DEVICE);
            return FALSE;
        });
        EXPECT_EQ(FailureOf([&] { WriteUninstaller(*staging); }), FailureCode::VerificationFailed);
        EXPECT_TRUE(testing::PathExists(JoinPath(staging->path, UninstallerName)));
        EXPECT_EQ(staging->createdFiles.back(), UninstallerName);
    }
    EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory()));
}

// A file that was created but fails its identity check right after (here the
// query of the new handle fails) belongs to the staging folder all the same,
// and goes with it.
TEST_F(Staging, AFileWhoseCheckFailsAfterItsCreateIsRemovedWithTheRest) {
    const struct {
        const char* what;
        const wchar_t* name;
        std::function<void(StagingFolder&)> create;
    } cases[] = {
        {"a staged file", L"a\\readme.txt", [](StagingFolder& s) { CreateStagedFile(s, L"a/readme.txt"); }},
        {"the uninstaller copy", L"uninstall.exe", [](StagingFolder& s) { WriteUninstaller(s); }},
    };
    for (const auto& c : cases) {
        {
            auto staging = CreateStagingFolder();
            const std::wstring path = JoinPath(staging->path, c.name);
            {
                const testing::FailCheckOfNewFile failing(path);
                EXPECT_EQ(FailureOf([&] { c.create(*staging); }), FailureCode::InstallFolderRejected) << c.what;
                EXPECT_EQ(failing.Failed(), 1) << c.what;
            }
            EXPECT_TRUE(testing::PathExists(path)) << c.what << ": the create itself succeeded";
        }
        EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory())) << c.what;
    }
}

TEST_F(Staging, PromoteAndDemote) {
    const std::wstring install = InstallDirectory();
    auto staging = CreateStagingFolder();
    { ScopedHandle file = CreateStagedFile(*staging, L"a/b/c/deep.txt"); }
    PromoteStagingFolder(*staging, install);
    EXPECT_TRUE(staging->committed);
    EXPECT_TRUE(testing::PathExists(JoinPath(install, L"a\\b\\c\\deep.txt")));
    EXPECT_FALSE(testing::PathExists(staging->path));

    DemoteInstallation(*staging, install);
    EXPECT_FALSE(staging->committed);
    EXPECT_FALSE(testing::PathExists(install));
    EXPECT_TRUE(testing::PathExists(staging->path));
    staging.reset();
    EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory()));
}

TEST_F(Staging, CommittedInstallationStays) {
    const std::wstring install = InstallDirectory();
    {
        auto staging = CreateStagingFolder();
        { ScopedHandle file = CreateStagedFile(*staging, L"tiny.cfg"); }
        PromoteStagingFolder(*staging, install);
    }
    EXPECT_TRUE(testing::PathExists(JoinPath(install, L"tiny.cfg")));
}

TEST_F(Staging, PromoteNeverReplacesAFolderThatAppeared) {
    const std::wstring install = InstallDirectory();
    testing::CreateFolders(install);
    testing::WriteFileBytes(JoinPath(install, L"theirs.txt"), "theirs");
    {
        auto staging = CreateStagingFolder();
        { ScopedHandle file = CreateStagedFile(*staging, L"tiny.cfg"); }
        EXPECT_EQ(FailureOf([&] { PromoteStagingFolder(*staging, install); }), FailureCode::WriteFailed);
        EXPECT_FALSE(staging->committed);
    }
    EXPECT_EQ(testing::ReadFileBytes(JoinPath(install, L"theirs.txt")), "theirs");
    EXPECT_FALSE(testing::PathExists(JoinPath(install, L"tiny.cfg")));
    // Only the other folder is left in the product root.
    testing::RemoveTree(install);
    EXPECT_TRUE(testing::FolderIsEmpty(ProductRootDirectory()));
}

TEST_F(Staging, AFailedDemoteLeavesTheInstallationCommitted) {
    const std::wstring install = InstallDirectory();
    auto staging = CreateStagingFolder();
    PromoteStagingFolder(*staging, install);
    testing::OverrideCall<BOOL(LPCWSTR, LPCWSTR, DWORD)> refused(
        SystemCalls().MoveFileExW, [](LPCWSTR, LPCWSTR, DWORD) -> BOOL {
            ::SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        });
    DemoteInstallation(*staging, install);
    EXPECT_TRUE(staging->committed);
    EXPECT_TRUE(testing::PathExists(install));
}

TEST_F(Staging, AFileHeldByAnotherProgramStaysWithItsFolder) {
    std::wstring path;
    HANDLE held = INVALID_HANDLE_VALUE;
    {
        auto staging = CreateStagingFolder();
        { ScopedHandle file = CreateStagedFile(*staging, L"a/readme.txt"); }
        { ScopedHandle file = CreateStagedFile(*staging, L"tiny.cfg"); }
        path = staging->path;
        held = ::CreateFileW((L"\\\\?\\" + JoinPath(path, L"a\\readme.txt")).c_str(), GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    EXPECT_TRUE(testing::PathExists(JoinPath(path, L"a\\readme.txt")));
    EXPECT_FALSE(testing::PathExists(JoinPath(path, L"tiny.cfg")));
    ::CloseHandle(held);
}

}  // namespace
}  // namespace pelorin::setup
