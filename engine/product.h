// Compile-time facts of the one release this setup program installs.
#pragma once

#include <string_view>

namespace pelorin::setup {

inline constexpr std::wstring_view ProductVersion = L"0.5.0";
inline constexpr std::string_view ProductVersionUtf8 = "0.5.0";
inline constexpr std::wstring_view AppExecutableName = L"Pelorin.exe";

// Added to every installation at its top level, besides the release's files.
inline constexpr std::wstring_view UninstallerName = L"uninstall.exe";
inline constexpr std::wstring_view InstallMarkerName = L".pelorin-installation";

}  // namespace pelorin::setup
