#include <string>

#include <gtest/gtest.h>

#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
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

// Joins texts by appending (GCC 12 misreports "literal" + std::string).
template <typename... Parts>
std::string Join(const Parts&... parts) {
    std::string text;
    (text.append(parts), ...);
    return text;
}

std::string Head() {
    return Join("PELORIN-INSTALL-1\n0.5.0\n", ReleaseArchiveSha256, "\n");
}

std::string Marker(const std::string& digestLine = Join(UninstallerDigest, "\n")) {
    return Join(Head(), digestLine);
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
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
    std::string oversized = Marker();
    oversized.insert(Head().size(), std::string(1025 - oversized.size(), 'a'));
    std::string atLimit = Marker();
    atLimit.insert(Head().size(), std::string(1024 - atLimit.size(), 'a'));

    const struct {
        const char* what;
        std::string content;
        bool accepted;
    } cases[] = {
        {"as written", Marker(), true},
        {"uppercase digest", Marker(Join(Upper(UninstallerDigest), "\n")), false},
        {"one uppercase digit", Marker(Join(std::string(UninstallerDigest).replace(10, 1, "B"), "\n")), false},
        {"not a hex digit", Marker(Join(std::string(UninstallerDigest).replace(63, 1, "g"), "\n")), false},
        {"carriage return before the last line feed", Marker(Join(UninstallerDigest, "\r\n")), false},
        {"carriage return in place of the last digit",
         Marker(Join(std::string(UninstallerDigest).substr(0, 63), "\r\n")), false},
        {"byte after the last line feed", Join(Marker(), "x"), false},
        {"empty line after the last line feed", Join(Marker(), "\n"), false},
        {"no final line feed", Marker(Join(UninstallerDigest, "0")), false},
        {"digest one short", Marker(Join(std::string(UninstallerDigest).substr(1), "\n")), false},
        {"CRLF lines", Join("PELORIN-INSTALL-1\r\n0.5.0\r\n", ReleaseArchiveSha256, "\r\n", UninstallerDigest, "\r\n"),
         false},
        {"other format line", Join("PELORIN-INSTALL-2", Marker().substr(17)), false},
        {"other version", Join("PELORIN-INSTALL-1\n0.5.1\n", Marker().substr(24)), false},
        {"other release archive", Join("PELORIN-INSTALL-1\n0.5.0\n", UninstallerDigest, "\n", UninstallerDigest, "\n"),
         false},
        {"release digest in uppercase",
         Join("PELORIN-INSTALL-1\n0.5.0\n", Upper(ReleaseArchiveSha256), "\n", UninstallerDigest, "\n"), false},
        {"1024 bytes", atLimit, false},
        {"1025 bytes", oversized, false},
        {"empty", "", false},
    };
    for (const auto& c : cases) {
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
