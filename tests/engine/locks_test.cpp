// The x64 check and the locks shared with other installers and the application.
#include "engine/locks.h"

#include <atomic>

#include <gtest/gtest.h>

#include "engine/contract.h"
#include "engine/install.h"
#include "engine/uninstall.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/override_call.h"
#include "tests/support/product_state.h"
#include "tests/support/standin_process.h"
#include "tests/support/system_call_fakes.h"
#include "tests/support/temp_folder.h"

namespace pelorin::setup {
namespace {

using testing::FailureOf;

class Locks : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        testing::RemoveTree(ProductRootDirectory());
        testing::RemoveTree(JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Pelorin"));
    }
    static std::wstring InstallerLock() { return JoinPath(ProductRootDirectory(), L"installer.lock"); }
    static std::wstring SessionLock() { return JoinPath(DataDirectory(), L"session.lock"); }

    static FailureCode Acquire(bool createFolders = true) {
        return FailureOf([&] { AcquireEngineLocks(createFolders); });
    }
};

TEST_F(Locks, CreatesFoldersAndEmptyLockFilesAndReleasesThem) {
    {
        auto locks = AcquireEngineLocks(true);
        EXPECT_EQ(Acquire(), FailureCode::AppRunning) << "a second installer is kept out";
    }
    EXPECT_EQ(testing::ReadFileBytes(InstallerLock()), "");
    EXPECT_EQ(testing::ReadFileBytes(SessionLock()), "");
    EXPECT_EQ(Acquire(), FailureCode::None) << "everything was released";
}

TEST_F(Locks, UninstallDoesNotCreateTheProductRoot) {
    EXPECT_EQ(Acquire(false), FailureCode::InstallationNotFound);
    EXPECT_FALSE(testing::PathExists(ProductRootDirectory()));
    testing::CreateFolders(ProductRootDirectory());
    EXPECT_EQ(Acquire(false), FailureCode::None);
    EXPECT_TRUE(testing::PathExists(SessionLock())) << "the data folder is created for an uninstall too";
}

TEST_F(Locks, OnlyX64IsSupported) {
    for (const WORD architecture : {WORD{PROCESSOR_ARCHITECTURE_ARM64}, WORD{PROCESSOR_ARCHITECTURE_INTEL},
                                    WORD{PROCESSOR_ARCHITECTURE_UNKNOWN}}) {
        testing::OverrideCall<void(LPSYSTEM_INFO)> native(SystemCalls().GetNativeSystemInfo,
                                                          [architecture](LPSYSTEM_INFO info) {
                                                              ::GetNativeSystemInfo(info);
                                                              info->wProcessorArchitecture = architecture;
                                                          });
        EXPECT_EQ(Acquire(), FailureCode::UnsupportedSystem);
        EXPECT_FALSE(testing::PathExists(ProductRootDirectory())) << "nothing is created first";
    }
}

TEST_F(Locks, TheRunningApplicationKeepsTheInstallerOut) {
    {
        testing::StandInProcess application;
        EXPECT_EQ(Acquire(), FailureCode::AppRunning);
        EXPECT_EQ(Acquire(false), FailureCode::AppRunning);
    }
    EXPECT_EQ(Acquire(), FailureCode::None);
}

TEST_F(Locks, AnExistingMutexAloneKeepsTheInstallerOut) {
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, EngineMutexName);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(Acquire(), FailureCode::AppRunning);
    ::CloseHandle(mutex);
    EXPECT_EQ(Acquire(), FailureCode::None);
}

TEST_F(Locks, ALockFileThatIsNotAPlainFileIsRejected) {
    testing::CreateFolders(ProductRootDirectory());
    testing::WriteFileBytes(InstallerLock(), "");
    const std::wstring other = JoinPath(ProductRootDirectory(), L"other-name");
    ASSERT_TRUE(::CreateHardLinkW(other.c_str(), InstallerLock().c_str(), nullptr));
    EXPECT_EQ(Acquire(), FailureCode::InstallFolderRejected);
    testing::RemoveTree(other);
    {
        testing::FakeAttributes link(InstallerLock(), FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_EQ(Acquire(), FailureCode::InstallFolderRejected);
    }
    {
        testing::FakeAttributes link(SessionLock(), FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_EQ(Acquire(), FailureCode::InstallFolderRejected);
    }
    testing::RemoveTree(InstallerLock());
    testing::CreateFolders(InstallerLock());
    EXPECT_EQ(Acquire(), FailureCode::InstallFolderRejected) << "a folder cannot be opened as the lock file";
}

// A directory junction or directory link is refused by the open itself, as a
// folder is; it is still no sign of a running application. Wine cannot make
// one: a folder reports the attribute, as a junction would on Windows.
TEST_F(Locks, ALockFileThatIsADirectoryLinkIsRejected) {
    for (const bool session : {false, true}) {
        SCOPED_TRACE(session ? "session.lock" : "installer.lock");
        Clean();
        const std::wstring lock = session ? SessionLock() : InstallerLock();
        testing::CreateFolders(lock);
        const testing::FakeAttributes link(lock, FILE_ATTRIBUTE_REPARSE_POINT);
        EXPECT_EQ(Acquire(), FailureCode::InstallFolderRejected);
        EXPECT_GT(link.Opens(), 0) << "the link itself was looked at";
    }
    // A plain lock file whose open is refused for another reason (access
    // denied) still means another holder.
    Clean();
    testing::CreateFolders(ProductRootDirectory());
    testing::WriteFileBytes(InstallerLock(), "");
    testing::CallSpy<testing::CreateFileSignature> open(SystemCalls().CreateFileW);
    open.FailWhen(
        [lock = testing::LongForm(InstallerLock())](LPCWSTR name, DWORD access, auto&&...) {
            return lock == name && (access & GENERIC_WRITE) != 0;
        },
        INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Acquire(), FailureCode::AppRunning);
}

// The application may hold "session.lock" alone (before it creates the mutex
// or after it closed it): that keeps install and uninstall out all the same,
// before anything is changed.
TEST_F(Locks, TheSessionLockAloneKeepsInstallAndUninstallOut) {
    testing::CreateFolders(ProductRootDirectory());
    testing::CreateFolders(DataDirectory());
    testing::WriteFileBytes(SessionLock(), "");
    {
        const testing::TestHandle session = testing::HoldOpen(SessionLock(), GENERIC_READ | GENERIC_WRITE, 0);
        ASSERT_TRUE(session.IsValid());
        std::atomic<bool> cancel{false};
        EXPECT_EQ(Install(Options{}, cancel, {}).code, FailureCode::AppRunning);
        EXPECT_EQ(Uninstall(cancel, {}).code, FailureCode::AppRunning);
        EXPECT_EQ(testing::StagingFolderCount(), 0);
        EXPECT_FALSE(testing::PathExists(InstallDirectory()));
    }
    EXPECT_EQ(Acquire(), FailureCode::None);
}

// Another kind of object holding the mutex's name (an event here) makes
// CreateMutexW return no handle at all: the name is taken all the same.
TEST_F(Locks, AnotherObjectHoldingTheMutexNameKeepsTheInstallerOut) {
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, EngineMutexName);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(Acquire(), FailureCode::AppRunning);
    ::CloseHandle(event);
    EXPECT_EQ(Acquire(), FailureCode::None) << "everything taken before the mutex was released";
}

}  // namespace
}  // namespace pelorin::setup
