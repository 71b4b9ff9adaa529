// Download of a release archive from the local release server, which serves
// the small fixture release this program links, and misbehaves on request.
#include "engine/download.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/manifest.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/override_call.h"
#include "tests/support/release_server.h"

namespace pelorin::setup {
namespace {

using testing::FailureOf;
using testing::OverrideCall;

class Download : public ::testing::Test {
protected:
    void SetUp() override { testing::SetServerMode(L"mode=normal"); }
    void TearDown() override { testing::SetServerMode(L"mode=normal"); }

    static DownloadTarget Target() {
        return DownloadTarget{L"localhost", testing::ReleaseServerPort(), ReleaseArchiveSize, ReleaseArchiveSha256};
    }

    FailureCode Run(const std::function<void(const Progress&)>& onReport = {}) {
        reports_.clear();
        body_.clear();
        return FailureOf([&] {
            body_ = DownloadArchive(Target(), cancel_, [&](const Progress& p) {
                reports_.push_back(p);
                if (onReport) onReport(p);
            });
        });
    }

    bool ReadAnyBodyByte() const {
        for (const Progress& p : reports_) {
            if (p.stage == Stage::Downloading && p.done > 0) return true;
        }
        return false;
    }

    std::atomic<bool> cancel_{false};
    std::vector<Progress> reports_;
    std::vector<std::uint8_t> body_;
};

TEST_F(Download, FetchesTheArchiveWithItsReports) {
    ASSERT_EQ(Run(), FailureCode::None);
    EXPECT_EQ(body_.size(), ReleaseArchiveSize);
    ASSERT_GE(reports_.size(), 3u);
    EXPECT_EQ(reports_.front().stage, Stage::Downloading);
    EXPECT_EQ(reports_.front().done, 0u);
    std::uint64_t last = 0;
    for (std::size_t i = 1; i + 1 < reports_.size(); ++i) {
        EXPECT_EQ(reports_[i].stage, Stage::Downloading);
        EXPECT_GT(reports_[i].done, last);
        EXPECT_LE(reports_[i].done - last, 65536u);
        last = reports_[i].done;
    }
    EXPECT_EQ(last, ReleaseArchiveSize);
    EXPECT_EQ(reports_.back().stage, Stage::Verifying);
    EXPECT_EQ(reports_.back().done, ReleaseArchiveSize);
    for (const Progress& p : reports_) {
        EXPECT_EQ(p.total, ReleaseArchiveSize);
        EXPECT_TRUE(p.cancellable);
    }
}

TEST_F(Download, SendsOnePlainRequest) {
    ASSERT_EQ(Run(), FailureCode::None);
    const std::string head = testing::LastRequestHead();
    EXPECT_TRUE(head.starts_with("GET /downloads/windows/0.5.0/Pelorin-Windows-0.5.0-win-x64.zip HTTP/1.1\r\n"))
        << head;
    EXPECT_NE(head.find("\r\nUser-Agent: Pelorin-Setup/1\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nAccept-Encoding: identity\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Cookie"), std::string::npos) << head;
    EXPECT_EQ(head.find("Authorization"), std::string::npos) << head;
    EXPECT_EQ(testing::DownloadRequestCount(), 1);
}

TEST_F(Download, ServerMisbehaviours) {
    const struct {
        const wchar_t* mode;
        FailureCode expected;
        bool bodyRead;  // whether any body byte may have been taken
    } cases[] = {
        {L"mode=redirect-301", FailureCode::DownloadFailed, false},
        {L"mode=redirect-302", FailureCode::DownloadFailed, false},
        {L"mode=redirect-307", FailureCode::DownloadFailed, false},
        {L"mode=redirect-308", FailureCode::DownloadFailed, false},
        {L"mode=status-404", FailureCode::DownloadFailed, false},
        {L"mode=status-500", FailureCode::DownloadFailed, false},
        {L"mode=chunked", FailureCode::VerificationFailed, false},
        {L"mode=no-length", FailureCode::VerificationFailed, false},
        {L"mode=length-short", FailureCode::VerificationFailed, false},
        {L"mode=length-long", FailureCode::VerificationFailed, false},
        {L"mode=length-suffix", FailureCode::VerificationFailed, false},
        {L"mode=length-text", FailureCode::VerificationFailed, false},
        {L"mode=corrupt-byte", FailureCode::VerificationFailed, true},
        {L"mode=truncate", FailureCode::VerificationFailed, true},
    };
    for (const auto& c : cases) {
        testing::SetServerMode(c.mode);
        const std::string mode(c.mode, c.mode + std::wcslen(c.mode));
        EXPECT_EQ(Run(), c.expected) << mode;
        EXPECT_EQ(ReadAnyBodyByte(), c.bodyRead) << mode;
        EXPECT_EQ(testing::DownloadRequestCount(), 1) << mode << ": a redirect is never followed";
        if (c.bodyRead) {
            EXPECT_EQ(reports_.back().stage, Stage::Verifying) << mode << ": checked after the last read";
        }
    }
}

TEST_F(Download, ATransportDeliveringMoreThanAnnouncedFails) {
    // Fails on the chunk that crosses the size.
    std::uint64_t delivered = 0;
    OverrideCall<BOOL(HINTERNET, LPVOID, DWORD, LPDWORD)> more(
        SystemCalls().WinHttpReadData, [&](HINTERNET h, LPVOID buffer, DWORD size, LPDWORD got) -> BOOL {
            const BOOL ok = ::WinHttpReadData(h, buffer, size, got);
            if (ok && *got == 0) *got = 1;  // one byte too many at the end
            delivered += *got;
            return ok;
        });
    EXPECT_EQ(Run(), FailureCode::VerificationFailed);
    EXPECT_EQ(delivered, ReleaseArchiveSize + 1);
    EXPECT_EQ(reports_.back().done, ReleaseArchiveSize) << "the crossing chunk is not reported";
}

TEST_F(Download, AStalledBodyTimesOut) {
    testing::SetServerMode(L"mode=stall&bytes=70000&hold=60");
    EXPECT_EQ(Run(), FailureCode::DownloadFailed);
    EXPECT_TRUE(ReadAnyBodyByte());
}

TEST_F(Download, TheWholeBodyHasTenMinutes) {
    ULONGLONG now = 1000000;
    int reads = 0;
    OverrideCall<ULONGLONG()> clock(SystemCalls().GetTickCount64, [&] { return now; });
    OverrideCall<BOOL(HINTERNET, LPVOID, DWORD, LPDWORD)> reading(
        SystemCalls().WinHttpReadData, [&](HINTERNET h, LPVOID buffer, DWORD size, LPDWORD got) -> BOOL {
            ++reads;
            now += reads == 1 ? 600000 : 1;  // exactly the limit after the first read, then past it
            return ::WinHttpReadData(h, buffer, size, got);
        });
    EXPECT_EQ(Run(), FailureCode::DownloadFailed);
    EXPECT_EQ(reads, 2) << "the limit is checked before each read";
}

TEST_F(Download, CancelEndsAfterTheCurrentChunk) {
    EXPECT_EQ(Run([&](const Progress& p) {
                  if (p.done > 0) cancel_ = true;
              }),
              FailureCode::Cancelled);
    EXPECT_EQ(reports_.back().stage, Stage::Downloading);
    EXPECT_LE(reports_.back().done, 65536u);

    // Set before the request: nothing is sent.
    testing::SetServerMode(L"mode=normal");
    cancel_ = true;
    EXPECT_EQ(Run(), FailureCode::Cancelled);
    EXPECT_TRUE(reports_.empty());
    EXPECT_EQ(testing::DownloadRequestCount(), 0);
}

TEST_F(Download, SetupFailures) {
    using OpenSig = HINTERNET(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
    using OptionSig = BOOL(HINTERNET, DWORD, LPVOID, DWORD);
    using ConnectSig = HINTERNET(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
    using OpenRequestSig = HINTERNET(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD);
    using SendSig = BOOL(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR);
    auto failOption = [](DWORD option, DWORD value) {
        return [option, value](HINTERNET h, DWORD o, LPVOID buffer, DWORD size) -> BOOL {
            if (o == option && (value == 0 || *static_cast<DWORD*>(buffer) == value)) {
                ::SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            return ::WinHttpSetOption(h, o, buffer, size);
        };
    };
    {
        OverrideCall<OpenSig> f(SystemCalls().WinHttpOpen, [](LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) -> HINTERNET {
            return nullptr;
        });
        EXPECT_EQ(Run(), FailureCode::DownloadFailed);
    }
    {
        OverrideCall<ConnectSig> f(SystemCalls().WinHttpConnect,
                                   [](HINTERNET, LPCWSTR, INTERNET_PORT, DWORD) -> HINTERNET { return nullptr; });
        EXPECT_EQ(Run(), FailureCode::DownloadFailed);
    }
    {
        OverrideCall<OpenRequestSig> f(
            SystemCalls().WinHttpOpenRequest,
            [](HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD) -> HINTERNET { return nullptr; });
        EXPECT_EQ(Run(), FailureCode::DownloadFailed);
    }
    {
        // TLS 1.3 unknown to the system: TLS 1.2 alone is asked for.
        std::vector<DWORD> asked;
        OverrideCall<OptionSig> f(SystemCalls().WinHttpSetOption,
                                  [&](HINTERNET h, DWORD o, LPVOID buffer, DWORD size) -> BOOL {
                                      if (o == WINHTTP_OPTION_SECURE_PROTOCOLS) {
                                          asked.push_back(*static_cast<DWORD*>(buffer));
                                          if (asked.size() == 1) return FALSE;
                                      }
                                      return ::WinHttpSetOption(h, o, buffer, size);
                                  });
        EXPECT_EQ(Run(), FailureCode::None);
        EXPECT_EQ(asked, (std::vector<DWORD>{0x2800, 0x800}));
    }
    for (const auto& [option, value] : {std::pair<DWORD, DWORD>{WINHTTP_OPTION_SECURE_PROTOCOLS, 0},
                                        {WINHTTP_OPTION_REDIRECT_POLICY, 0},
                                        {WINHTTP_OPTION_DISABLE_FEATURE, 0}}) {
        OverrideCall<OptionSig> f(SystemCalls().WinHttpSetOption, failOption(option, value));
        EXPECT_EQ(Run(), FailureCode::DownloadFailed) << "option " << option;
    }
    {
        OverrideCall<SendSig> f(SystemCalls().WinHttpSendRequest,
                                [](HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) -> BOOL {
                                    ::SetLastError(ERROR_WINHTTP_CANNOT_CONNECT);
                                    return FALSE;
                                });
        EXPECT_EQ(Run(), FailureCode::DownloadFailed);
    }
    {
        OverrideCall<NTSTATUS(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG)> f(
            SystemCalls().BCryptOpenAlgorithmProvider,
            [](BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG) -> NTSTATUS { return static_cast<NTSTATUS>(0xC0000001); });
        EXPECT_EQ(Run(), FailureCode::WriteFailed);
    }
}

// Every WinHTTP handle a download opened is closed once, the request first,
// then the connection, then the root handle, on success and on every failure.
TEST_F(Download, EveryHandleIsClosedRequestConnectionRoot) {
    using OpenSig = HINTERNET(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
    using ConnectSig = HINTERNET(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
    using OpenRequestSig = HINTERNET(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD);
    using ReadSig = BOOL(HINTERNET, LPVOID, DWORD, LPDWORD);
    std::vector<std::string> opened, closed;
    std::map<HINTERNET, std::string> names;
    const auto keep = [&](HINTERNET handle, const char* name) {
        if (handle != nullptr) {
            names[handle] = name;
            opened.push_back(name);
        }
        return handle;
    };
    OverrideCall<OpenSig> root(SystemCalls().WinHttpOpen,
                               [&](LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
                                   return keep(::WinHttpOpen(agent, access, proxy, bypass, flags), "root");
                               });
    OverrideCall<ConnectSig> connection(
        SystemCalls().WinHttpConnect, [&](HINTERNET session, LPCWSTR host, INTERNET_PORT port, DWORD reserved) {
            return keep(::WinHttpConnect(session, host, port, reserved), "connection");
        });
    OverrideCall<OpenRequestSig> request(
        SystemCalls().WinHttpOpenRequest, [&](HINTERNET connect, LPCWSTR verb, LPCWSTR object, LPCWSTR version,
                                              LPCWSTR referrer, LPCWSTR* types, DWORD flags) {
            return keep(::WinHttpOpenRequest(connect, verb, object, version, referrer, types, flags), "request");
        });
    OverrideCall<BOOL(HINTERNET)> close(SystemCalls().WinHttpCloseHandle, [&](HINTERNET handle) -> BOOL {
        const auto found = names.find(handle);
        closed.push_back(found == names.end() ? "unknown" : found->second);
        if (found != names.end()) names.erase(found);
        return ::WinHttpCloseHandle(handle);
    });

    const struct {
        const char* what;
        std::function<std::shared_ptr<void>()> arrange;
        FailureCode expected;
    } cases[] = {
        {"success", [] { return std::shared_ptr<void>(); }, FailureCode::None},
        {"an error status",
         [] {
             testing::SetServerMode(L"mode=status-404");
             return std::shared_ptr<void>();
         },
         FailureCode::DownloadFailed},
        {"a failed read",
         [] {
             return std::make_shared<OverrideCall<ReadSig>>(
                 SystemCalls().WinHttpReadData, [](HINTERNET, LPVOID, DWORD, LPDWORD) -> BOOL {
                     ::SetLastError(ERROR_WINHTTP_CONNECTION_ERROR);
                     return FALSE;
                 });
         },
         FailureCode::DownloadFailed},
        {"a changed byte",
         [] {
             testing::SetServerMode(L"mode=corrupt-byte");
             return std::shared_ptr<void>();
         },
         FailureCode::VerificationFailed},
        {"no request",
         [] {
             return std::make_shared<OverrideCall<OpenRequestSig>>(
                 SystemCalls().WinHttpOpenRequest,
                 [](HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD) -> HINTERNET { return nullptr; });
         },
         FailureCode::DownloadFailed},
        {"no connection",
         [] {
             return std::make_shared<OverrideCall<ConnectSig>>(
                 SystemCalls().WinHttpConnect,
                 [](HINTERNET, LPCWSTR, INTERNET_PORT, DWORD) -> HINTERNET { return nullptr; });
         },
         FailureCode::DownloadFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::SetServerMode(L"mode=normal");
        opened.clear();
        closed.clear();
        {
            const std::shared_ptr<void> arrangement = c.arrange();
            EXPECT_EQ(Run(), c.expected);
        }
        std::vector<std::string> expected(opened.rbegin(), opened.rend());
        EXPECT_EQ(closed, expected);
        EXPECT_TRUE(names.empty()) << "a handle was not closed";
    }
    EXPECT_EQ(closed, (std::vector<std::string>{"root"})) << "after a refused connection";
}

TEST_F(Download, ContentLengthMustBeExactlyTheSize) {
    const std::wstring size = std::to_wstring(ReleaseArchiveSize);
    const std::wstring cases[] = {L" " + size, L"+" + size, size + L" ", L"0" + size + L"0", L"", L"-1",
                                  L"99999999999999999999999"};
    for (const std::wstring& text : cases) {
        OverrideCall<BOOL(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD)> f(
            SystemCalls().WinHttpQueryHeaders,
            [&](HINTERNET h, DWORD level, LPCWSTR name, LPVOID buffer, LPDWORD bytes, LPDWORD index) -> BOOL {
                if (level != WINHTTP_QUERY_CONTENT_LENGTH) return ::WinHttpQueryHeaders(h, level, name, buffer, bytes, index);
                std::copy(text.c_str(), text.c_str() + text.size() + 1, static_cast<wchar_t*>(buffer));
                *bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
                return TRUE;
            });
        EXPECT_EQ(Run(), FailureCode::VerificationFailed) << std::string(text.begin(), text.end());
        EXPECT_FALSE(ReadAnyBodyByte());
    }
}

// Last in this program: the bytes the server sends beyond the announced length
// stay on the connection, which the platform might hand to a later request.
TEST_F(Download, BytesBeyondTheAnnouncedLengthAreNotTaken) {
    testing::SetServerMode(L"mode=extra-bytes");
    EXPECT_EQ(Run(), FailureCode::None);
    EXPECT_EQ(body_.size(), ReleaseArchiveSize);
}

}  // namespace
}  // namespace pelorin::setup
