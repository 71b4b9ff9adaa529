#include "platform/files.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/contract.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

constexpr DWORD PinShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;  // never FILE_SHARE_DELETE
constexpr std::size_t DriveRootLength = 3;
constexpr std::size_t RandomNameBytes = 16;

bool IsNotFound(DWORD error) noexcept {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

[[noreturn]] void ThrowOpenFailure(DWORD error) {
    if (IsNotFound(error)) {
        ThrowFailure(FailureCode::InstallationNotFound);
    }
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        ThrowFailure(FailureCode::AppRunning);
    }
    ThrowFailure(FailureCode::WriteFailed);
}

void Rewind(HANDLE handle) {
    LARGE_INTEGER zero{};
    if (!SystemCalls().SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN)) {
        ThrowFailure(FailureCode::WriteFailed);
    }
}

// Reads the next block into `buffer` (FileBlockSize bytes); 0 at the end.
DWORD ReadBlock(HANDLE handle, std::vector<unsigned char>& buffer) {
    DWORD read = 0;
    if (!SystemCalls().ReadFile(handle, buffer.data(), FileBlockSize, &read, nullptr) || read > FileBlockSize) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    return read;
}

// The drive root, the text before every further backslash, and the whole
// path (so a trailing backslash adds the full text as a prefix of its own).
std::vector<std::wstring> ChainPrefixes(const std::wstring& path) {
    std::vector<std::wstring> prefixes;
    prefixes.push_back(path.substr(0, DriveRootLength));
    for (std::size_t i = DriveRootLength; i < path.size(); ++i) {
        if (path[i] == L'\\') {
            prefixes.push_back(path.substr(0, i));
        }
    }
    if (path.size() > DriveRootLength) {
        prefixes.push_back(path);
    }
    return prefixes;
}

// Opens `path` for deletion and sets the delete disposition; the item goes
// when the handle closes. An absent item is no error; a folder that still
// holds something stays.
void DeleteThroughHandle(const std::wstring& path, bool directory) {
    SystemCallTable& calls = SystemCalls();
    const std::wstring longPath = ToLongPath(path);
    DirectoryPins pins;
    PinDirectoryChain(pins, ParentPath(path), false);

    const DWORD share = directory ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (directory ? FILE_FLAG_BACKUP_SEMANTICS : 0);
    ScopedHandle item(
        calls.CreateFileW(longPath.c_str(), DELETE | FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!item.IsValid()) {
        const DWORD error = ::GetLastError();
        if (IsNotFound(error)) {
            return;
        }
        ThrowFailure(FailureCode::WriteFailed);
    }
    CheckHandleKind(item.Get(), directory);
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!calls.SetFileInformationByHandle(item.Get(), FileDispositionInfo, &disposition, sizeof disposition)) {
        const DWORD error = ::GetLastError();
        if (directory && error == ERROR_DIR_NOT_EMPTY) {
            return;
        }
        ThrowFailure(FailureCode::WriteFailed);
    }
}

}  // namespace

void CheckHandleKind(HANDLE handle, bool expectDirectory) {
    SystemCallTable& calls = SystemCalls();
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!calls.GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        !calls.GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    const bool isDirectory = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDirectory != expectDirectory) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    if (!expectDirectory && standard.NumberOfLinks != 1) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
}

ScopedHandle OpenFileChecked(const std::wstring& path, DWORD access, DWORD disposition, DWORD share,
                             const std::function<void()>& onOpened) {
    const std::wstring longPath = ToLongPath(path);
    ScopedHandle file(SystemCalls().CreateFileW(longPath.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                                                disposition, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.IsValid()) {
        ThrowOpenFailure(::GetLastError());
    }
    if (onOpened) {
        onOpened();
    }
    CheckHandleKind(file.Get(), false);
    return file;
}

namespace {

FILE_ID_INFO IdentityOf(HANDLE handle) {
    FILE_ID_INFO identity{};
    if (!SystemCalls().GetFileInformationByHandleEx(handle, FileIdInfo, &identity, sizeof identity)) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    return identity;
}

}  // namespace

bool SameFile(HANDLE first, HANDLE second) {
    const FILE_ID_INFO a = IdentityOf(first);
    const FILE_ID_INFO b = IdentityOf(second);
    return a.VolumeSerialNumber == b.VolumeSerialNumber && std::memcmp(&a.FileId, &b.FileId, sizeof a.FileId) == 0;
}

bool IsOwnExecutable(HANDLE file) {
    // Attribute access alone, shared every way: it neither reads the file
    // nor stands in the way of anyone who holds it.
    const ScopedHandle self = OpenFileChecked(OwnExecutablePath(), 0, OPEN_EXISTING,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    return SameFile(self.Get(), file);
}

void PinDirectoryChain(DirectoryPins& pins, const std::wstring& path, bool createMissing) {
    SystemCallTable& calls = SystemCalls();
    ToLongPath(path);  // the acceptance rule, before anything is touched
    const std::vector<std::wstring> prefixes = ChainPrefixes(path);
    std::vector<const std::wstring*> added;
    added.reserve(prefixes.size());  // recording an added pin cannot fail
    try {
        for (const std::wstring& prefix : prefixes) {
            if (pins.Contains(prefix)) {
                continue;
            }
            const std::wstring longPath = ToLongPath(prefix);
            if (createMissing && prefix.size() > DriveRootLength) {
                if (!calls.CreateDirectoryW(longPath.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
                    ThrowFailure(FailureCode::WriteFailed);
                }
            }
            ScopedHandle folder(calls.CreateFileW(longPath.c_str(), PinnedFolderAccess, PinShareMode, nullptr,
                                                  OPEN_EXISTING,
                                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!folder.IsValid()) {
                ThrowFailure(IsNotFound(::GetLastError()) ? FailureCode::InstallationNotFound
                                                          : FailureCode::InstallFolderRejected);
            }
            CheckHandleKind(folder.Get(), true);
            pins.Insert(prefix, std::move(folder));
            added.push_back(&prefix);
        }
    } catch (...) {
        for (auto it = added.rbegin(); it != added.rend(); ++it) {
            pins.Remove(**it);
        }
        throw;
    }
}

void WriteAll(HANDLE handle, const void* bytes, std::size_t count) {
    SystemCallTable& calls = SystemCalls();
    const auto* data = static_cast<const unsigned char*>(bytes);
    while (count > 0) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(count, FileBlockSize));
        DWORD written = 0;
        if (!calls.WriteFile(handle, data, piece, &written, nullptr) || written != piece) {
            ThrowFailure(FailureCode::WriteFailed);
        }
        data += piece;
        count -= piece;
    }
}

std::string HashFile(HANDLE handle, std::uint64_t expectedSize) {
    LARGE_INTEGER size{};
    if (!SystemCalls().GetFileSizeEx(handle, &size) || size.QuadPart < 0) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    const auto fileSize = static_cast<std::uint64_t>(size.QuadPart);
    if (fileSize > MaxHashedFileSize || (expectedSize != 0 && expectedSize != fileSize)) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    Rewind(handle);

    Sha256 hasher;
    std::vector<unsigned char> buffer(FileBlockSize);
    std::uint64_t total = 0;
    while (const DWORD read = ReadBlock(handle, buffer)) {
        total += read;
        if (total > fileSize) {  // more than the size allows: stop reading at once
            ThrowFailure(FailureCode::VerificationFailed);
        }
        hasher.Update(buffer.data(), read);
    }
    if (total != fileSize) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    return hasher.FinishHex();
}

void CopyFileVerified(const std::wstring& source, const std::wstring& destination, std::string& sourceDigest,
                      const std::function<void()>& onCreated) {
    DirectoryPins pins;
    PinDirectoryChain(pins, ParentPath(source), false);

    const ScopedHandle input = OpenFileChecked(source, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    sourceDigest = HashFile(input.Get(), 0);
    Rewind(input.Get());

    const ScopedHandle output = OpenFileChecked(destination, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, 0, onCreated);
    std::vector<unsigned char> buffer(FileBlockSize);
    while (const DWORD read = ReadBlock(input.Get(), buffer)) {
        WriteAll(output.Get(), buffer.data(), read);
    }
    if (!SystemCalls().FlushFileBuffers(output.Get())) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    if (HashFile(output.Get(), 0) != sourceDigest) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
}

void ReplaceFileWithBackup(FileReplacement& replacement, const void* bytes, std::size_t count) {
    SystemCallTable& calls = SystemCalls();
    // All three paths are checked before anything is created.
    const std::wstring target = ToLongPath(replacement.targetPath);
    const std::wstring backup = ToLongPath(replacement.backupPath);
    const std::wstring fresh = ToLongPath(replacement.newPath);
    {
        const ScopedHandle file = OpenFileChecked(replacement.newPath, GENERIC_WRITE, CREATE_NEW, 0,
                                                  [&replacement] { replacement.created = true; });
        WriteAll(file.Get(), bytes, count);
        if (!calls.FlushFileBuffers(file.Get())) {
            ThrowFailure(FailureCode::RegistrationFailed);
        }
    }  // closed: a file held open cannot be moved
    {
        ScopedHandle existing(calls.CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (existing.IsValid()) {
            CheckHandleKind(existing.Get(), false);
            existing.Close();
            if (!calls.MoveFileExW(target.c_str(), backup.c_str(), MOVEFILE_WRITE_THROUGH)) {
                ThrowFailure(FailureCode::RegistrationFailed);
            }
            replacement.backedUp = true;
        } else if (!IsNotFound(::GetLastError())) {
            ThrowFailure(FailureCode::RegistrationFailed);
        }
    }
    if (!calls.MoveFileExW(fresh.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
        ThrowFailure(FailureCode::RegistrationFailed);
    }
    replacement.replaced = true;
}

std::wstring RandomHexName() {
    UCHAR bytes[RandomNameBytes] = {};
    if (SystemCalls().BCryptGenRandom(nullptr, bytes, RandomNameBytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    const std::string hex = ToLowerHex(bytes, RandomNameBytes);
    return std::wstring(hex.begin(), hex.end());
}

void CheckNotReadOnly(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!SystemCalls().GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ThrowFailure(FailureCode::WriteFailed);
    }
}

void DeleteFileIfPresent(const std::wstring& path) {
    DeleteThroughHandle(path, false);
}

void RemoveDirectoryIfEmpty(const std::wstring& path) {
    DeleteThroughHandle(path, true);
}

}  // namespace pelorin::setup
