// The rules of paths. A path is a UTF-16 string in drive-letter form
// ("C:\a\b"); it is turned into the extended-length form only when it is handed
// to a file interface, and only after it passed the acceptance rule. Portable
// code: these functions only look at text.
#pragma once

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

}  // namespace pelorin::setup
