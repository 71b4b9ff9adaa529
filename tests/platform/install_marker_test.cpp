#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/marker_forms.h"
#include "tests/support/system_call_fakes.h"
#include "tests/support/temp_folder.h"

namespace pelorin::setup {
namespace {

using testing::CallSpy;
using testing::FailureOf;
using testing::HandleLedger;
using testing::WriteTestFile;

using ReadSignature = BOOL(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
using Arrangement = std::shared_ptr<void>;

constexpr char UninstallerDigest[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f00123456789abcdef0123456789abcdef";

// The marker as written.
std::string Marker() {
    return testing::InstallMarkerForms(UninstallerDigest).front().content;
}

class InstallMarkerTest : public ::testing::Test {
protected:
    InstallMarkerTest() { testing::MakeFolder(directory); }

    std::wstring MarkerPath() const { return JoinPath(directory, L".pelorin-installation"); }

    testing::TempFolder temp;
    std::wstring directory = temp.Path(L"0.5.0");
};

TEST_F(InstallMarkerTest, AcceptsExactlyTheWrittenForm) {
    ASSERT_EQ(Marker().size(), 154u);
    for (const auto& c : testing::InstallMarkerForms(UninstallerDigest)) {
        WriteTestFile(MarkerPath(), c.content);
        HandleLedger ledger;
        if (c.accepted) {
            EXPECT_EQ(ReadInstallMarker(directory), UninstallerDigest) << c.what;
        } else {
            EXPECT_EQ(FailureOf([&] { ReadInstallMarker(directory); }), FailureCode::VerificationFailed) << c.what;
        }
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
    }
}

TEST_F(InstallMarkerTest, ReadsTheMarkerWithOneReadOfItsSize) {
    WriteTestFile(MarkerPath(), Marker());
    std::vector<DWORD> reads;
    CallSpy<ReadSignature> read(SystemCalls().ReadFile);
    read.OnCall([&](HANDLE, LPVOID, DWORD size, LPDWORD, LPOVERLAPPED) { reads.push_back(size); });
    EXPECT_EQ(ReadInstallMarker(directory), UninstallerDigest);
    EXPECT_EQ(reads, std::vector<DWORD>{154});
}

TEST_F(InstallMarkerTest, Refusals) {
    using SizeSignature = BOOL(HANDLE, PLARGE_INTEGER);
    const std::wstring marker = MarkerPath();
    const struct {
        const char* what;
        std::wstring directory;
        std::function<Arrangement()> arrange;
        FailureCode expected;
    } cases[] = {
        {"marker missing", directory, [&] { ::DeleteFileW(marker.c_str()); return nullptr; },
         FailureCode::InstallationNotFound},
        {"folder missing", temp.Path(L"absent"), nullptr, FailureCode::InstallationNotFound},
        {"marker locked", directory,
         [&] { return std::make_shared<testing::TestHandle>(testing::HoldOpen(marker, GENERIC_READ, 0)); },
         FailureCode::AppRunning},
        {"marker with a second link", directory,
         [&] {
             EXPECT_TRUE(::CreateHardLinkW(temp.Path(L"copy").c_str(), marker.c_str(), nullptr));
             return nullptr;
         },
         FailureCode::InstallFolderRejected},
        {"marker is a link", directory,
         [&] { return std::make_shared<testing::FakeAttributes>(marker, FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected},
        {"marker is a folder", directory,
         [&] {
             ::DeleteFileW(marker.c_str());
             testing::MakeFolder(marker);
             return nullptr;
         },
         FailureCode::WriteFailed},
        {"size unknown", directory,
         [] {
             auto spy = std::make_shared<CallSpy<SizeSignature>>(SystemCalls().GetFileSizeEx);
             spy->FailCall(1, FALSE, ERROR_INVALID_FUNCTION);
             return spy;
         },
         FailureCode::VerificationFailed},
        {"read fails", directory,
         [] {
             auto spy = std::make_shared<CallSpy<ReadSignature>>(SystemCalls().ReadFile);
             spy->FailCall(1, FALSE, ERROR_READ_FAULT);
             return spy;
         },
         FailureCode::WriteFailed},
        {"read comes back short", directory,
         [] {
             auto spy = std::make_shared<CallSpy<ReadSignature>>(SystemCalls().ReadFile);
             spy->FailWhen(
                 [spy = spy.get()](HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) {
                     spy->Original()(file, buffer, size - 1, read, nullptr);
                     return true;
                 },
                 TRUE);
             return spy;
         },
         FailureCode::WriteFailed},
    };
    for (const auto& c : cases) {
        ::RemoveDirectoryW(marker.c_str());
        ::DeleteFileW(temp.Path(L"copy").c_str());
        WriteTestFile(marker, Marker());
        HandleLedger ledger;
        {
            const Arrangement arrangement = c.arrange ? c.arrange() : nullptr;
            EXPECT_EQ(FailureOf([&] { ReadInstallMarker(c.directory); }), c.expected) << c.what;
        }
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
    }
}

}  // namespace
}  // namespace pelorin::setup
