// Download of the release archive over HTTPS into memory. The body is accepted
// only with exactly the expected length and SHA-256; nothing is written to
// disk and nothing is resumed.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/contract.h"

namespace pelorin::setup {

inline constexpr wchar_t DownloadUserAgent[] = L"Pelorin-Setup/1";
inline constexpr wchar_t DownloadObjectPath[] = L"/downloads/windows/0.5.0/Pelorin-Windows-0.5.0-win-x64.zip";
inline constexpr wchar_t DownloadExtraHeaders[] = L"Accept-Encoding: identity\r\n";
inline constexpr std::uint64_t DownloadTimeLimitMs = 600000;
inline constexpr int DownloadCallTimeoutMs = 15000;

// Where the archive comes from and what it must be.
struct DownloadTarget {
    std::wstring host;
    INTERNET_PORT port;
    std::uint64_t size;
    std::string sha256;
};

// The compiled-in endpoint with the compiled-in release archive.
DownloadTarget ReleaseDownloadTarget();

// Downloads `target`; returns the body, exactly target.size bytes whose
// SHA-256 is target.sha256.
std::vector<std::uint8_t> DownloadArchive(const DownloadTarget& target, const std::atomic<bool>& cancel,
                                          const ProgressFunction& progress);

// Downloads the release archive from the compiled-in endpoint.
std::vector<std::uint8_t> DownloadReleaseArchive(const std::atomic<bool>& cancel, const ProgressFunction& progress);

}  // namespace pelorin::setup
