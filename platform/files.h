// File primitives: identity-checked opens, held folder chains, writing,
// hashing, verified copies, replacement with a backup, deletion through
// handles, the install marker reader and random names.
//
// Every path is turned into its extended-length form by ToLongPath (so it must
// pass the acceptance rule first), every open passes
// FILE_FLAG_OPEN_REPARSE_POINT, and whatever is tested on a handle is what is
// then used. Failures are thrown as Failure; nothing is rolled back except the
// handles, hash objects and folder pins an operation took itself.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/handles.h"
#include "platform/install_marker_format.h"

namespace pelorin::setup {

// All file input and output moves in blocks of this size.
inline constexpr DWORD FileBlockSize = 65536;
// Files above this size are never hashed.
inline constexpr std::uint64_t MaxHashedFileSize = 268435456;
// The largest install marker that is read.
inline constexpr std::uint64_t MaxInstallMarkerSize = 1024;

// Held folders are opened with this access. Listing access (not attribute
// access alone) makes the system apply the handle's share mode, so nobody can
// open the folder for deletion or renaming while the handle is held.
inline constexpr DWORD PinnedFolderAccess = FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY;

// What ReplaceFileWithBackup does, and what the caller later finishes or
// rolls back from the two flags.
struct FileReplacement {
    std::wstring targetPath;  // the file to be replaced
    std::wstring backupPath;  // where an existing target is moved
    std::wstring newPath;     // the temporary file that receives the new content
    bool backedUp = false;    // the old target was moved to backupPath
    bool replaced = false;    // newPath was moved onto targetPath
    bool created = false;     // newPath was created by this replacement (a file
                              // of that name found there is not ours)
};

// No reparse point, the expected kind, and a single link for a file; code 6
// otherwise (a failed query included).
void CheckHandleKind(HANDLE handle, bool expectDirectory);

// CreateFileW with `access` plus FILE_READ_ATTRIBUTES, `share`, `disposition`
// and FILE_FLAG_OPEN_REPARSE_POINT, then CheckHandleKind for a file.
// Not found: 8; sharing or lock violation: 2; any other refusal: 5.
// `onOpened` (may be empty) runs as soon as the system has handed out the
// handle, before the identity check: a caller that creates the file records
// it there, so that a new file whose check fails is still its to remove.
ScopedHandle OpenFileChecked(const std::wstring& path, DWORD access, DWORD disposition, DWORD share,
                             const std::function<void()>& onOpened = {});

// True when the two open handles are one file: the same volume serial number
// and the same file id. A query that fails: 6.
bool SameFile(HANDLE first, HANDLE second);

// True when `file` is the running program's own executable, by volume and
// file id, whatever the spelling of the path it was started by (a short name,
// another drive mapping). The program's file is opened by the path the
// system reports for it, for its attributes only; the opens fail as
// OpenFileChecked does (a link or a second hard link there: 6).
bool IsOwnExecutable(HANDLE file);

// Opens (and with `createMissing`, first creates) every folder from the drive
// root down to `path` and keeps each handle in `pins`; folders already held
// are not opened again. Refused path or a folder that fails its identity
// check: 6; missing folder: 8; failed creation: 5. On failure the folders
// this call added are released again, so `pins` is as it was.
void PinDirectoryChain(DirectoryPins& pins, const std::wstring& path, bool createMissing);

// Writes `count` bytes in pieces of at most FileBlockSize; a failed or short
// write is code 5.
void WriteAll(HANDLE handle, const void* bytes, std::size_t count);

// SHA-256 of the whole file behind `handle`, read from its start.
// `expectedSize` 0 means any size. Size unknown, above MaxHashedFileSize, not
// the expected one or not what was read: 4; seek or read failure: 5.
std::string HashFile(HANDLE handle, std::uint64_t expectedSize);

// Copies `source` to the new file `destination` (which must not exist) and
// proves the copy by its digest. `sourceDigest` receives the source's digest;
// `onCreated` (may be empty) runs as soon as the destination was created,
// before its identity check and before any byte is copied. The destination's
// folder is the caller's to create and hold. A destination left behind after
// a failure is the caller's to remove.
void CopyFileVerified(const std::wstring& source, const std::wstring& destination, std::string& sourceDigest,
                      const std::function<void()>& onCreated);

// Writes `bytes` to replacement.newPath (setting `created` as soon as the
// file was created), moves an existing target to replacement.backupPath
// (never over an existing file) and the new file onto the target, setting the
// record's flags as each move succeeds. Deletes nothing. A failed flush or
// move: 9.
void ReplaceFileWithBackup(FileReplacement& replacement, const void* bytes, std::size_t count);

// The uninstaller digest recorded in the install marker of `installDirectory`.
// Missing: 8; locked: 2; reparse point or second link: 6; malformed or too
// large: 4; unreadable: 5.
std::string ReadInstallMarker(const std::wstring& installDirectory);

// 32 lowercase hexadecimal characters from the system's random generator
// (16 random bytes), as the wide text that names are joined from; code 5 when
// the generator fails.
std::wstring RandomHexName();

// Code 5 when the file behind `handle` is read-only or cannot be asked.
void CheckNotReadOnly(HANDLE handle);

// Deletes the file through a handle; an absent file is no error, an absent
// folder on the way is 8.
void DeleteFileIfPresent(const std::wstring& path);

// Deletes the folder through a handle when it is empty; a folder that still
// holds something stays, silently; an absent folder is no error.
void RemoveDirectoryIfEmpty(const std::wstring& path);

}  // namespace pelorin::setup
