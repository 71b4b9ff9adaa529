#include "tests/support/release_server.h"

#include <stdexcept>

namespace pelorin::setup::testing {
namespace {

struct Internet {
    HINTERNET h;
    explicit Internet(HINTERNET handle) : h(handle) {
        if (h == nullptr) throw std::runtime_error("WinHTTP call failed: " + std::to_string(::GetLastError()));
    }
    ~Internet() { ::WinHttpCloseHandle(h); }
    Internet(const Internet&) = delete;
    Internet& operator=(const Internet&) = delete;
};

}  // namespace

INTERNET_PORT ReleaseServerPort() {
    wchar_t text[16];
    const DWORD n = ::GetEnvironmentVariableW(L"PELORIN_SERVER_PORT", text, 16);
    if (n == 0 || n >= 16) throw std::runtime_error("PELORIN_SERVER_PORT is not set; run through tools/test.sh");
    return static_cast<INTERNET_PORT>(std::wcstoul(text, nullptr, 10));
}

std::string ServerGet(const std::wstring& path) {
    Internet session(::WinHttpOpen(L"pelorin-tests", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    // Another host name than the downloads use, so the platform never hands
    // a control request a connection that a download left bytes on.
    Internet connection(::WinHttpConnect(session.h, L"127.0.0.1", ReleaseServerPort(), 0));
    Internet request(::WinHttpOpenRequest(connection.h, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!::WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.h, nullptr)) {
        throw std::runtime_error("the release server did not answer: " + std::to_string(::GetLastError()));
    }
    DWORD status = 0, size = sizeof(status);
    ::WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    std::string body;
    char buffer[4096];
    DWORD got = 0;
    while (::WinHttpReadData(request.h, buffer, sizeof(buffer), &got) && got > 0) body.append(buffer, got);
    if (status != 200) throw std::runtime_error("the release server refused: " + body);
    return body;
}

void SetServerMode(const std::wstring& query) {
    ServerGet(L"/control?" + query);
}

std::string LastRequestHead() {
    return ServerGet(L"/control/last-request?format=head");
}

int DownloadRequestCount() {
    const std::string listing = ServerGet(L"/control/requests");
    int count = 0;
    for (std::size_t at = listing.find("\"request_line\""); at != std::string::npos;
         at = listing.find("\"request_line\"", at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace pelorin::setup::testing
