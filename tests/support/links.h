// Reading shortcut files in tests, through the shell's link object.
#pragma once

#include <string>

namespace pelorin::setup::testing {

// The target path of the shortcut file at `path` (its bytes loaded through
// IPersistStream); empty when the file cannot be read as a shortcut.
std::wstring ShortcutTarget(const std::wstring& path);

}  // namespace pelorin::setup::testing
