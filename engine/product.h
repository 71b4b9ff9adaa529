// Compile-time facts of the one release this setup program installs.
#pragma once

#include <string_view>

namespace pelorin::setup {

inline constexpr std::wstring_view ProductVersion = L"0.5.0";
inline constexpr std::string_view ProductVersionUtf8 = "0.5.0";
inline constexpr std::wstring_view AppExecutableName = L"Pelorin.exe";

}  // namespace pelorin::setup
