// Paths and fixed locations: the path rules (platform/path_rules.h) and the
// locations the system names.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <string_view>

#include "platform/path_rules.h"

namespace pelorin::setup {

// A shell known folder: WriteFailed when the shell cannot name it,
// InstallFolderRejected when the answer breaks the acceptance rule.
std::wstring KnownFolderPath(REFKNOWNFOLDERID id);

std::wstring ProductRootDirectory();
std::wstring InstallDirectory();
std::wstring InstallDirectoryOrEmpty() noexcept;
std::wstring DataDirectory();
std::wstring StartMenuShortcutPath();
std::wstring DesktopShortcutPath();

// The running executable; InstallFolderRejected when it cannot be named or its
// path breaks the acceptance rule (a network path, an already prefixed path).
std::wstring OwnExecutablePath();

// Strict UTF-8 to UTF-16; InstallFolderRejected for empty, invalid or
// oversized (more than 32000 bytes) input.
std::wstring Utf8ToWide(std::string_view text);

// Ordinal comparison ignoring case, no normalisation of any kind.
bool SamePath(const std::wstring& a, const std::wstring& b) noexcept;

}  // namespace pelorin::setup
