// Fetches one HTTPS resource from the release server with WinHTTP, set up the
// way the downloader sets it up, and reports what WinHTTP returned. The test
// suite runs it to check that the throwaway prefix trusts the test CA; by hand
// it shows how WinHTTP takes each of the server's fault modes.
//
//   pelorin_https_probe [--host HOST] [--port PORT] [--path PATH] [--expect-status N]
//
// Defaults: host 127.0.0.1, the port in PELORIN_SERVER_PORT, the path
// /control/modes (which changes nothing on the server). Exit code 0 when a
// response arrived (with the expected status, if one was given) and its body
// was read to the end, 1 otherwise, 2 for a wrong command line, 77 (skipped)
// when no port is given and PELORIN_SERVER_PORT is not set.

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int ExitSkipped = 77;
constexpr DWORD TimeoutMs = 15000;
constexpr DWORD ReadChunk = 65536;

struct InternetCloser {
    void operator()(HINTERNET handle) const noexcept { ::WinHttpCloseHandle(handle); }
};
using UniqueInternet = std::unique_ptr<void, InternetCloser>;

const wchar_t* ErrorName(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_TIMEOUT: return L"timeout";
        case ERROR_WINHTTP_CANNOT_CONNECT: return L"cannot connect";
        case ERROR_WINHTTP_CONNECTION_ERROR: return L"connection error";
        case ERROR_WINHTTP_SECURE_FAILURE: return L"secure failure";
        case ERROR_WINHTTP_SECURE_INVALID_CA: return L"invalid CA";
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return L"certificate name mismatch";
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return L"certificate date invalid";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return L"invalid server response";
        case ERROR_WINHTTP_HEADER_NOT_FOUND: return L"header not found";
        case ERROR_INSUFFICIENT_BUFFER: return L"insufficient buffer";
        default: return L"";
    }
}

int Failed(const wchar_t* call) {
    const DWORD error = ::GetLastError();
    std::wprintf(L"failed: %ls: error %lu %ls\n", call, error, ErrorName(error));
    return 1;
}

struct Options {
    std::wstring host = L"127.0.0.1";
    std::wstring path = L"/control/modes";
    unsigned long port = 0;
    unsigned long expectedStatus = 0;
};

bool ParseNumber(const wchar_t* text, unsigned long high, unsigned long& value) {
    wchar_t* end = nullptr;
    value = std::wcstoul(text, &end, 10);
    return end != text && *end == L'\0' && value > 0 && value <= high;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) {
            return false;
        }
        const std::wstring name = argv[i];
        const wchar_t* value = argv[i + 1];
        if (name == L"--host") {
            options.host = value;
        } else if (name == L"--path") {
            options.path = value;
        } else if (name == L"--port") {
            if (!ParseNumber(value, 65535, options.port)) return false;
        } else if (name == L"--expect-status") {
            if (!ParseNumber(value, 999, options.expectedStatus)) return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fwprintf(stderr, L"usage: pelorin_https_probe [--host HOST] [--port PORT] [--path PATH]"
                              L" [--expect-status N]\n");
        return 2;
    }
    if (options.port == 0) {
        const wchar_t* fromEnvironment = ::_wgetenv(L"PELORIN_SERVER_PORT");
        if (fromEnvironment == nullptr || *fromEnvironment == L'\0') {
            std::wprintf(L"skipped: no port given and PELORIN_SERVER_PORT is not set\n");
            return ExitSkipped;
        }
        if (!ParseNumber(fromEnvironment, 65535, options.port)) {
            std::fwprintf(stderr, L"PELORIN_SERVER_PORT is not a port number\n");
            return 2;
        }
    }

    UniqueInternet session(::WinHttpOpen(L"Pelorin-Setup-Probe/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return Failed(L"WinHttpOpen (automatic proxy)");
    }
    ::WinHttpSetTimeouts(session.get(), TimeoutMs, TimeoutMs, TimeoutMs, TimeoutMs);
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        std::wprintf(L"secure protocols: TLS 1.2 and 1.3\n");
    } else {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
            return Failed(L"WinHttpSetOption (secure protocols)");
        }
        std::wprintf(L"secure protocols: TLS 1.2 only (TLS 1.3 refused)\n");
    }

    UniqueInternet connection(::WinHttpConnect(session.get(), options.host.c_str(),
                                               static_cast<INTERNET_PORT>(options.port), 0));
    if (!connection) {
        return Failed(L"WinHttpConnect");
    }
    UniqueInternet request(::WinHttpOpenRequest(connection.get(), L"GET", options.path.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                WINHTTP_FLAG_SECURE));
    if (!request) {
        return Failed(L"WinHttpOpenRequest");
    }
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects)) {
        return Failed(L"WinHttpSetOption (redirect policy)");
    }
    DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled)) {
        return Failed(L"WinHttpSetOption (disable feature)");
    }
    if (!::WinHttpSendRequest(request.get(), L"Accept-Encoding: identity\r\n", static_cast<DWORD>(-1),
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return Failed(L"WinHttpSendRequest");
    }
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
        return Failed(L"WinHttpReceiveResponse");
    }

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        return Failed(L"WinHttpQueryHeaders (status)");
    }
    std::wprintf(L"status: %lu\n", status);

    wchar_t length[32] = {};
    DWORD lengthSize = sizeof length;
    if (::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length,
                              &lengthSize, WINHTTP_NO_HEADER_INDEX)) {
        std::wprintf(L"content-length: \"%ls\"\n", length);
    } else {
        const DWORD error = ::GetLastError();
        std::wprintf(L"content-length: none (error %lu %ls)\n", error, ErrorName(error));
    }

    std::vector<BYTE> buffer(ReadChunk);
    unsigned long long received = 0;
    for (;;) {
        DWORD read = 0;
        if (!::WinHttpReadData(request.get(), buffer.data(), ReadChunk, &read)) {
            std::wprintf(L"body bytes before the failure: %llu\n", received);
            return Failed(L"WinHttpReadData");
        }
        if (read == 0) {
            break;
        }
        received += read;
    }
    std::wprintf(L"body bytes: %llu\n", received);

    if (options.expectedStatus != 0 && status != options.expectedStatus) {
        std::wprintf(L"failed: status %lu, expected %lu\n", status, options.expectedStatus);
        return 1;
    }
    return 0;
}
