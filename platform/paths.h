// Paths and fixed locations. A path is a UTF-16 string in drive-letter form
// ("C:\a\b"); it is turned into the extended-length form only when it is handed
// to a file interface, and only after it passed the acceptance rule.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <string_view>

namespace pelorin::setup {

// The acceptance rule of every path that reaches a file interface.
bool IsAcceptedPath(std::wstring_view path) noexcept;

// "\\?\" + path; InstallFolderRejected when the path breaks the rule.
std::wstring ToLongPath(std::wstring_view path);

// base + "\" + relative, with every '/' of the relative part made a '\'.
std::wstring JoinPath(std::wstring_view base, std::wstring_view relative);

// The folder containing `path`; InstallFolderRejected when there is none.
std::wstring ParentPath(std::wstring_view path);

// Removes trailing backslashes from a folder text reported by the shell, but
// never the one of a drive root.
std::wstring TrimTrailingBackslashes(std::wstring text);

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
