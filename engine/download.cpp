#include "engine/download.h"

#include <cwchar>

#include "engine/endpoint.h"
#include "payload/manifest.h"
#include "platform/sha256.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

constexpr DWORD ReadChunkSize = 65536;
constexpr DWORD TlsModern = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
constexpr DWORD TlsFallback = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
constexpr std::size_t ContentLengthBufferBytes = 64;

// Owns one WinHTTP handle.
class InternetHandle {
public:
    explicit InternetHandle(HINTERNET handle) noexcept : handle_(handle) {}
    ~InternetHandle() {
        if (handle_ != nullptr) {
            SystemCalls().WinHttpCloseHandle(handle_);
        }
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET Get() const noexcept { return handle_; }

private:
    HINTERNET handle_;
};

void Require(bool condition, FailureCode code) {
    if (!condition) {
        ThrowFailure(code);
    }
}

bool SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
    return SystemCalls().WinHttpSetOption(handle, option, &value, sizeof(value)) != FALSE;
}

// The whole Content-Length text must be one unsigned decimal number equal to
// `expected`.
bool ContentLengthIs(const wchar_t* text, std::uint64_t expected) {
    if (text[0] < L'0' || text[0] > L'9') {
        return false;  // no sign, no blank, no empty text
    }
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long value = std::wcstoull(text, &end, 10);
    return errno == 0 && end != text && *end == L'\0' && value == expected;
}

}  // namespace

DownloadTarget ReleaseDownloadTarget() {
    return DownloadTarget{DownloadHost, DownloadPort, ReleaseArchiveSize, ReleaseArchiveSha256};
}

std::vector<std::uint8_t> DownloadReleaseArchive(const std::atomic<bool>& cancel, const ProgressFunction& progress) {
    return DownloadArchive(ReleaseDownloadTarget(), cancel, progress);
}

std::vector<std::uint8_t> DownloadArchive(const DownloadTarget& target, const std::atomic<bool>& cancel,
                                          const ProgressFunction& progress) {
    SystemCallTable& calls = SystemCalls();
    const InternetHandle session(
        calls.WinHttpOpen(DownloadUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0));
    Require(session.Get() != nullptr, FailureCode::DownloadFailed);
    calls.WinHttpSetTimeouts(session.Get(), DownloadCallTimeoutMs, DownloadCallTimeoutMs, DownloadCallTimeoutMs,
                             DownloadCallTimeoutMs);
    if (!SetDwordOption(session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, TlsModern)) {
        Require(SetDwordOption(session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, TlsFallback),
                FailureCode::DownloadFailed);
    }
    const InternetHandle connection(calls.WinHttpConnect(session.Get(), target.host.c_str(), target.port, 0));
    Require(connection.Get() != nullptr, FailureCode::DownloadFailed);
    const InternetHandle request(calls.WinHttpOpenRequest(connection.Get(), L"GET", DownloadObjectPath, nullptr,
                                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                          WINHTTP_FLAG_SECURE));
    Require(request.Get() != nullptr, FailureCode::DownloadFailed);
    Require(SetDwordOption(request.Get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER),
            FailureCode::DownloadFailed);
    Require(SetDwordOption(request.Get(), WINHTTP_OPTION_DISABLE_FEATURE,
                           WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION),
            FailureCode::DownloadFailed);

    CheckCancel(cancel);
    ReportProgress(progress, Stage::Downloading, 0, target.size, true);

    Require(calls.WinHttpSendRequest(request.Get(), DownloadExtraHeaders, static_cast<DWORD>(-1),
                                     WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE,
            FailureCode::DownloadFailed);
    Require(calls.WinHttpReceiveResponse(request.Get(), nullptr) != FALSE, FailureCode::DownloadFailed);

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    Require(calls.WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                                      WINHTTP_NO_HEADER_INDEX) != FALSE,
            FailureCode::DownloadFailed);
    Require(status == 200, FailureCode::DownloadFailed);

    wchar_t length[ContentLengthBufferBytes / sizeof(wchar_t)] = {};
    DWORD lengthSize = sizeof(length);  // room for 31 characters and the terminator
    Require(calls.WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                                      length, &lengthSize, WINHTTP_NO_HEADER_INDEX) != FALSE,
            FailureCode::VerificationFailed);
    Require(ContentLengthIs(length, target.size), FailureCode::VerificationFailed);

    std::vector<std::uint8_t> body;
    body.reserve(target.size);
    std::vector<std::uint8_t> chunk(ReadChunkSize, 0);
    Sha256 hasher;
    const ULONGLONG start = calls.GetTickCount64();

    CheckCancel(cancel);
    std::uint64_t received = 0;
    while (true) {
        Require(calls.GetTickCount64() - start <= DownloadTimeLimitMs, FailureCode::DownloadFailed);
        DWORD got = 0;
        Require(calls.WinHttpReadData(request.Get(), chunk.data(), ReadChunkSize, &got) != FALSE,
                FailureCode::DownloadFailed);
        if (got == 0) {
            break;
        }
        Require(got <= ReadChunkSize && received + got <= target.size, FailureCode::VerificationFailed);
        hasher.Update(chunk.data(), got);
        body.insert(body.end(), chunk.begin(), chunk.begin() + got);
        received += got;
        ReportProgress(progress, Stage::Downloading, received, target.size, true);
        CheckCancel(cancel);
    }
    CheckCancel(cancel);
    ReportProgress(progress, Stage::Verifying, received, target.size, true);
    Require(received == target.size, FailureCode::VerificationFailed);
    const std::string digest = hasher.FinishHex();
    Require(digest.size() == 64 && digest == target.sha256, FailureCode::VerificationFailed);
    return body;
}

}  // namespace pelorin::setup
