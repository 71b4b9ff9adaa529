// Shell shortcuts to the installed application. A shortcut's bytes are made
// in memory by the shell's own link object and reach the disk only through a
// replacement with a backup: a new file beside the shortcut, the old shortcut
// moved aside, the new one moved in. Until the caller commits, the owner of
// the replacement can put the old shortcut back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/handles.h"

namespace pelorin::setup {

inline constexpr std::wstring_view ShortcutDescription = L"Pelorin";
// Temporary names beside the shortcut: prefix + 32 random hex + ".lnk".
inline constexpr std::wstring_view ShortcutBackupPrefix = L".pelorin-backup-";
inline constexpr std::wstring_view ShortcutNewPrefix = L".pelorin-new-";
inline constexpr std::wstring_view ShortcutExtension = L".lnk";
// The largest serialised link that is accepted.
inline constexpr std::uint64_t MaxShortcutBytes = 65536;

// The replacement of one shortcut file.
struct ShortcutUpdate {
    FileReplacement replacement;
    DirectoryPins folderPins;  // every folder down to the shortcut's folder
    bool committed = false;    // the new shortcut is final

    ShortcutUpdate() = default;
    // Unless committed: removes the new shortcut and moves the old one back.
    // Then deletes the temporary file this update created, if it was not
    // moved, and releases the folders. The first
    // step that fails ends the clean-up there; never throws.
    ~ShortcutUpdate();
    ShortcutUpdate(const ShortcutUpdate&) = delete;
    ShortcutUpdate& operator=(const ShortcutUpdate&) = delete;
};

// Creates (if missing) and holds the shortcut's folder chain and picks the
// temporary names. Folder failures as PinDirectoryChain reports them.
std::unique_ptr<ShortcutUpdate> PrepareShortcutUpdate(const std::wstring& shortcutPath);

// The shell link to `targetPath` (working folder its folder, description
// "Pelorin", icon the target's first), serialised through IPersistStream.
// Any COM failure, or an empty or oversized result: RegistrationFailed.
std::vector<std::uint8_t> BuildShortcutBytes(const std::wstring& targetPath);

// PrepareShortcutUpdate, BuildShortcutBytes and ReplaceFileWithBackup. On a
// failure everything done so far is rolled back before the exception leaves.
std::unique_ptr<ShortcutUpdate> InstallShortcut(const std::wstring& shortcutPath, const std::wstring& targetPath);

// Makes the new shortcut final and deletes the backup of the old one; a
// backup that cannot be deleted stays, silently.
void CommitShortcutUpdate(ShortcutUpdate& update) noexcept;

}  // namespace pelorin::setup
