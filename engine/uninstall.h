// The uninstall operation: removes the current user's installation (the
// release's files, the installed uninstaller and the marker, the folders that
// become empty), the shortcuts that point at it and its entry in the list of
// installed programs. The data folder, the product root with its lock file,
// staging folders, files the installation did not put there, and shortcuts or
// entries that belong to another location are left alone.
//
// Everything to be removed is opened and tested first, while nothing has
// changed; only then are the files removed, and the pieces that make the
// installation recognisable (registry entry, uninstaller, marker) go last. A
// run that fails before the removal leaves the installation intact; one that
// fails during it leaves what can be uninstalled again.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/contract.h"

namespace pelorin::setup {

// The registry value that names the folder an uninstall entry belongs to.
inline constexpr std::wstring_view InstallLocationValueName = L"InstallLocation";
// The buffer the value is read into, in bytes; a longer or unterminated text
// does not count as a location.
inline constexpr std::uint32_t InstallLocationBufferBytes = 65536;
// The buffer a shortcut's target is read into, in UTF-16 units.
inline constexpr std::uint32_t ShortcutTargetBufferChars = 32768;

// Reads `cancel` only before anything is removed; `progress` may be empty.
// Never throws: every failure becomes the result. On success installPath is
// the folder that was removed.
OperationResult Uninstall(std::atomic<bool>& cancel, const ProgressFunction& progress);

// True when the shortcut file at `shortcutPath` starts the application of the
// installation in `installDirectory`. The link is parsed from the bytes of the
// file as opened here (never by path), through the shell's link object. False
// only for what was read and found foreign: a file of no or too large a size,
// bytes that do not start like a shell link file, a link without a path or to
// another target.
// A check that could not be made is a failure, never a "no": a missing file or
// folder (8), a link, junction or folder in the way (6), a refused open (2, 5),
// a failed size query or read (5), a failed COM call (9).
bool IsShortcutOfInstallation(const std::wstring& shortcutPath, const std::wstring& installDirectory);

// The raw target path of the shortcut file at `shortcutPath`, read the same
// way; nothing when the file was read and is not a link with a path. Throws as
// IsShortcutOfInstallation does.
std::optional<std::wstring> ReadShortcutTarget(const std::wstring& shortcutPath);

}  // namespace pelorin::setup
