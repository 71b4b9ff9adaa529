// Steering the local release server that the test harness runs: which body it
// serves and how it misbehaves, and what the last download request looked
// like. The server's port reaches the test through PELORIN_SERVER_PORT.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace pelorin::setup::testing {

INTERNET_PORT ReleaseServerPort();

// GET <path> on the server; returns the body, throws on any failure.
std::string ServerGet(const std::wstring& path);

// Sets how the server answers the next download requests, e.g. L"mode=chunked".
void SetServerMode(const std::wstring& query);

// The head of the last download request, exactly as received.
std::string LastRequestHead();

// Number of download requests since the last SetServerMode.
int DownloadRequestCount();

}  // namespace pelorin::setup::testing
