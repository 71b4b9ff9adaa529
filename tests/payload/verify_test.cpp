// Verification of an installed tree against the tiny release.
#include "payload/verify.h"

#include <gtest/gtest.h>

#include "engine/product.h"
#include "payload/manifest.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/override_call.h"
#include "tests/support/temp_folder.h"
#include "tests/support/tiny_release.h"

namespace pelorin::setup {
namespace {

using testing::FailureOf;

class Verify : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetProductRoot();
        testing::InstallTinyRelease();
        install_ = InstallDirectory();
    }
    void TearDown() override { testing::ResetProductRoot(); }

    FailureCode Run(const std::atomic<bool>* cancel = nullptr) {
        reports_.clear();
        return FailureOf([&] {
            VerifyInstalledTree(install_, cancel, [this](const Progress& p) { reports_.push_back(p); });
        });
    }
    std::wstring At(const wchar_t* relative) const { return JoinPath(install_, relative); }

    std::wstring install_;
    std::vector<Progress> reports_;
};

TEST_F(Verify, AnIntactInstallationPasses) {
    ASSERT_EQ(Run(), FailureCode::None);
    ASSERT_EQ(reports_.size(), PayloadEntryCount);
    std::uint64_t done = 0;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        done += PayloadManifest[row].size;
        EXPECT_EQ(reports_[row].stage, Stage::Verifying);
        EXPECT_EQ(reports_[row].done, done);
        EXPECT_EQ(reports_[row].total, PayloadTotalBytes);
        EXPECT_TRUE(reports_[row].cancellable);
    }
    EXPECT_EQ(FailureOf([&] { VerifyInstalledTree(install_, nullptr, {}); }), FailureCode::None);
}

TEST_F(Verify, ForeignEntriesAreRefusedBeforeAnyFileIsHashed) {
    const struct {
        const char* what;
        std::function<void(const std::wstring&)> change;
    } cases[] = {
        {"an extra file at the top", [](const std::wstring& i) { testing::WriteFileBytes(JoinPath(i, L"desktop.ini"), ""); }},
        {"an extra file in a subfolder", [](const std::wstring& i) { testing::WriteFileBytes(JoinPath(i, L"a\\b\\log.txt"), "x"); }},
        {"an extra empty folder", [](const std::wstring& i) { testing::CreateFolders(JoinPath(i, L"a\\new")); }},
        {"a folder named like a file", [](const std::wstring& i) {
             testing::RemoveTree(JoinPath(i, L"tiny.cfg"));
             testing::CreateFolders(JoinPath(i, L"tiny.cfg"));
         }},
        {"a name in another letter case", [](const std::wstring& i) {
             // By way of another name: Wine keeps the old spelling on a rename
             // that changes only the letter case.
             const std::string bytes = testing::ReadFileBytes(JoinPath(i, L"big.bin"));
             testing::RemoveTree(JoinPath(i, L"big.bin"));
             testing::WriteFileBytes(JoinPath(i, L"BIG.bin"), bytes);
         }},
    };
    for (const auto& c : cases) {
        testing::ResetProductRoot();
        testing::InstallTinyRelease();
        c.change(install_);
        EXPECT_EQ(Run(), FailureCode::VerificationFailed) << c.what;
        EXPECT_TRUE(reports_.empty()) << c.what;
    }
}

TEST_F(Verify, ALinkAnywhereIsRefused) {
    // Wine cannot make links; the listing reports one, as Windows would for a
    // junction beside the real files.
    testing::OverrideCall<BOOL(HANDLE, LPWIN32_FIND_DATAW)> linkInListing(
        SystemCalls().FindNextFileW, [](HANDLE search, LPWIN32_FIND_DATAW data) -> BOOL {
            const BOOL more = ::FindNextFileW(search, data);
            if (more && std::wstring_view(data->cFileName) == L"b") {
                data->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            }
            return more;
        });
    EXPECT_EQ(Run(), FailureCode::VerificationFailed);
    EXPECT_TRUE(reports_.empty());
}

TEST_F(Verify, AFailingListingIsRefused) {
    testing::OverrideCall<BOOL(HANDLE, LPWIN32_FIND_DATAW)> failing(
        SystemCalls().FindNextFileW, [](HANDLE, LPWIN32_FIND_DATAW) -> BOOL {
            ::SetLastError(ERROR_IO_DEVICE);
            return FALSE;
        });
    EXPECT_EQ(Run(), FailureCode::VerificationFailed);
}

TEST_F(Verify, ChangedOrMissingFilesFailAtTheirTurn) {
    // Row 3 is big.bin: one changed byte fails there, after three reports.
    std::string big = testing::ReadFileBytes(At(L"big.bin"));
    big[big.size() / 2] ^= 0x20;
    testing::WriteFileBytes(At(L"big.bin"), big);
    EXPECT_EQ(Run(), FailureCode::VerificationFailed);
    EXPECT_EQ(reports_.size(), 3u);

    testing::ResetProductRoot();
    testing::InstallTinyRelease();
    testing::RemoveTree(At(L"licenses\\config.json"));
    EXPECT_EQ(Run(), FailureCode::InstallationNotFound);
    EXPECT_EQ(reports_.size(), 4u);

    testing::ResetProductRoot();
    testing::InstallTinyRelease();
    testing::WriteFileBytes(At(L"tiny.cfg"), "tiny config\nand more");
    EXPECT_EQ(Run(), FailureCode::VerificationFailed);
    EXPECT_EQ(reports_.size(), 6u);
}

// A file that another program holds open for writing cannot be trusted to
// stay as it is hashed: the verification fails at that file's turn with code
// 2, after the files before it.
TEST_F(Verify, AFileHeldOpenForWritingFailsAtItsTurn) {
    {
        const testing::TestHandle writer =
            testing::HoldOpen(At(L"big.bin"), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_TRUE(writer.IsValid());
        EXPECT_EQ(Run(), FailureCode::AppRunning);
        EXPECT_EQ(reports_.size(), 3u);
    }
    EXPECT_EQ(Run(), FailureCode::None) << "once the writer has gone";
}

TEST_F(Verify, AHardLinkedFileIsRefused) {
    const std::wstring outside = JoinPath(ProductRootDirectory(), L"second-link");
    ASSERT_TRUE(::CreateHardLinkW(outside.c_str(), At(L"a\\readme.txt").c_str(), nullptr));
    EXPECT_EQ(Run(), FailureCode::InstallFolderRejected);
}

TEST_F(Verify, MarkerAndUninstallerAreCheckedBeforeTheFiles) {
    const std::string marker = testing::ReadFileBytes(At(L".pelorin-installation"));
    std::string other = marker;
    other[100] = other[100] == 'a' ? 'b' : 'a';
    testing::WriteFileBytes(At(L".pelorin-installation"), other);
    EXPECT_EQ(Run(), FailureCode::VerificationFailed);
    EXPECT_TRUE(reports_.empty());

    testing::WriteFileBytes(At(L".pelorin-installation"), marker);
    std::string uninstaller = testing::ReadFileBytes(At(L"uninstall.exe"));
    uninstaller.back() ^= 0x01;
    testing::WriteFileBytes(At(L"uninstall.exe"), uninstaller);
    EXPECT_EQ(Run(), FailureCode::VerificationFailed);
    EXPECT_TRUE(reports_.empty());

    testing::RemoveTree(At(L".pelorin-installation"));
    EXPECT_EQ(Run(), FailureCode::InstallationNotFound);
}

TEST_F(Verify, CancelIsSeenBeforeTheFirstFileOnly) {
    std::atomic<bool> cancel{true};
    EXPECT_EQ(Run(&cancel), FailureCode::Cancelled);
    EXPECT_TRUE(reports_.empty());
    // The walk and the marker come first: a foreign file still wins.
    testing::WriteFileBytes(At(L"extra.txt"), "");
    EXPECT_EQ(Run(&cancel), FailureCode::VerificationFailed);
}

TEST_F(Verify, AMissingInstallationIsNotFound) {
    testing::ResetProductRoot();
    EXPECT_EQ(Run(), FailureCode::InstallationNotFound);
}

}  // namespace
}  // namespace pelorin::setup
