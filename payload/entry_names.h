// Rules for the names of release files, the case-insensitive name-set check
// and the folders a manifest implies.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelorin::setup {

// True when `name` is an acceptable relative file name: strict UTF-8 without
// control characters, '/'-separated components that Windows can hold as they
// are (no reserved device names, no trailing dot or space, no characters
// Windows forbids), at most 200 bytes, components at most 150 bytes.
bool IsValidEntryName(std::string_view name) noexcept;

// A copy in which only 'A'..'Z' are lowered.
std::string AsciiLower(std::string_view name);

// True when every name is valid, no two are equal ignoring ASCII case, and no
// name stands where another needs a folder.
bool CheckNameSet(const std::vector<std::string>& names);

// Every folder the manifest implies, relative, '\'-separated, longest first
// (so every folder comes before its parent).
std::vector<std::wstring> ManifestDirectories();

}  // namespace pelorin::setup
