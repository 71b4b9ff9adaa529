#include "engine/uninstall.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "engine/locks.h"
#include "engine/product.h"
#include "engine/registration.h"
#include "engine/shortcuts.h"
#include "payload/entry_names.h"
#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

// The files held for removal, in the order they were found. Each one can be
// closed on its own once its delete disposition is set; whatever is still
// held when the owner goes is closed from the last to the first.
class RemovalHandles {
public:
    RemovalHandles() = default;
    ~RemovalHandles() {
        for (auto it = handles_.rbegin(); it != handles_.rend(); ++it) {
            it->Close();
        }
    }
    RemovalHandles(const RemovalHandles&) = delete;
    RemovalHandles& operator=(const RemovalHandles&) = delete;

    void Append(ScopedHandle&& handle) { handles_.push_back(std::move(handle)); }
    std::size_t Size() const noexcept { return handles_.size(); }
    ScopedHandle& operator[](std::size_t index) noexcept { return handles_[index]; }

private:
    std::vector<ScopedHandle> handles_;
};

// Marks the file behind `handle` for deletion; it goes when the last handle
// on it closes. A refusal is a failed write.
void SetDeleteDisposition(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SystemCalls().SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) {
        ThrowFailure(FailureCode::WriteFailed);
    }
}

// The whole content of a shortcut file; empty when its size rules it out as
// one of ours. A size or a read that cannot be had is a failed check, not an
// answer: code 5.
std::vector<std::uint8_t> ReadShortcutBytes(HANDLE file) {
    SystemCallTable& calls = SystemCalls();
    LARGE_INTEGER size{};
    if (!calls.GetFileSizeEx(file, &size)) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    if (size.QuadPart <= 0 || static_cast<std::uint64_t>(size.QuadPart) > MaxShortcutBytes) {
        return {};
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
    const auto wanted = static_cast<DWORD>(bytes.size());
    DWORD read = 0;
    if (!calls.ReadFile(file, bytes.data(), wanted, &read, nullptr) || read != wanted) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    return bytes;
}

// Code 9 for a COM call that failed: the link object could not be asked.
void RequireCom(HRESULT result) {
    if (FAILED(result)) {
        ThrowFailure(FailureCode::RegistrationFailed);
    }
}

// True when `bytes` start with the header of a shell link file: its size,
// 0x4C, and the shell link class identifier.
bool HasShellLinkHeader(const std::vector<std::uint8_t>& bytes) {
    static constexpr std::uint8_t Header[] = {0x4C, 0x00, 0x00, 0x00, 0x01, 0x14, 0x02, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    return bytes.size() >= sizeof Header && std::equal(std::begin(Header), std::end(Header), bytes.begin());
}

// The raw target path of the link serialised in `bytes`; empty when the link
// has no path. Any failed call is code 9. The caller holds the thread's COM
// apartment.
std::wstring ShortcutTargetOf(const std::vector<std::uint8_t>& bytes) {
    SystemCallTable& calls = SystemCalls();
    ComReference<IShellLinkW> link;
    RequireCom(calls.CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      link.ReceiveVoid()));
    RequireCom(link.Get() == nullptr ? E_POINTER : S_OK);
    ComReference<IPersistStream> persist;
    RequireCom(link->QueryInterface(IID_IPersistStream, persist.ReceiveVoid()));
    RequireCom(persist.Get() == nullptr ? E_POINTER : S_OK);
    ComReference<IStream> stream;
    RequireCom(calls.CreateStreamOnHGlobal(nullptr, TRUE, stream.Receive()));
    RequireCom(stream.Get() == nullptr ? E_POINTER : S_OK);
    const auto size = static_cast<ULONG>(bytes.size());
    ULONG written = 0;
    RequireCom(stream->Write(bytes.data(), size, &written));
    RequireCom(written == size ? S_OK : E_FAIL);
    LARGE_INTEGER start{};
    RequireCom(stream->Seek(start, STREAM_SEEK_SET, nullptr));
    // The bytes start like a shell link (the caller saw to that), so a link
    // object that cannot load them is a check that failed, not an answer.
    RequireCom(persist->Load(stream.Get()));
    std::vector<wchar_t> target(ShortcutTargetBufferChars, L'\0');
    RequireCom(link->GetPath(target.data(), static_cast<int>(target.size()), nullptr, SLGP_RAWPATH));
    // Only the text up to the first terminator, and never past the buffer.
    return std::wstring(target.data(), ::wcsnlen(target.data(), target.size()));
}  // the stream and both interfaces go before the caller leaves the apartment

// Removes the shortcut at `shortcutPath` when it starts this installation's
// application; anything else stays.
void RemoveShortcutIfOurs(const std::wstring& shortcutPath, const std::wstring& installDirectory) {
    if (IsShortcutOfInstallation(shortcutPath, installDirectory)) {
        DeleteFileIfPresent(shortcutPath);
    }
}

// The Start-menu shortcut must be dealt with (only its absence is no
// error); the desktop shortcut is best effort.
void RemoveShortcuts(const std::wstring& installDirectory) {
    try {
        RemoveShortcutIfOurs(StartMenuShortcutPath(), installDirectory);
    } catch (const Failure& failure) {
        if (failure.code != FailureCode::InstallationNotFound) {
            throw;
        }
    }
    try {
        RemoveShortcutIfOurs(DesktopShortcutPath(), installDirectory);
    } catch (const Failure&) {
        // A desktop shortcut that cannot be tested or removed stays.
    }
}

// True when the uninstall entry's location value is a terminated text that
// names `installDirectory`; false when the value is absent, too large, of
// another type or names another folder. A query that fails otherwise is code
// 9: the entry could not be checked.
bool EntryNamesInstallation(const ScopedRegistryKey& key, const std::wstring& installDirectory) {
    std::vector<wchar_t> buffer(InstallLocationBufferBytes / sizeof(wchar_t), L'\0');
    const std::wstring valueName(InstallLocationValueName);
    DWORD type = REG_NONE;
    DWORD bytes = InstallLocationBufferBytes;
    const LSTATUS queried = SystemCalls().RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type,
                                                           reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (queried == ERROR_FILE_NOT_FOUND || queried == ERROR_MORE_DATA) {
        return false;
    }
    if (queried != ERROR_SUCCESS) {
        ThrowFailure(FailureCode::RegistrationFailed);
    }
    if (type != REG_SZ || bytes < sizeof(wchar_t) || bytes > InstallLocationBufferBytes || buffer.back() != L'\0') {
        return false;
    }
    return SamePath(std::wstring(buffer.data()), installDirectory);
}

// Deletes the uninstall entry if it names this installation; an
// absent entry or one of another location is left as it is.
void RemoveUninstallEntry(const std::wstring& installDirectory) {
    SystemCallTable& calls = SystemCalls();
    const std::wstring keyPath(UninstallKeyPath);
    bool ours = false;
    {
        ScopedRegistryKey key;
        const LSTATUS opened =
            calls.RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.Receive());
        if (opened == ERROR_FILE_NOT_FOUND) {
            return;
        }
        if (opened != ERROR_SUCCESS) {
            ThrowFailure(FailureCode::RegistrationFailed);
        }
        ours = EntryNamesInstallation(key, installDirectory);
    }  // closed before the key is deleted
    if (ours && calls.RegDeleteKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), KEY_WOW64_64KEY, 0) != ERROR_SUCCESS) {
        ThrowFailure(FailureCode::RegistrationFailed);
    }
}

}  // namespace

std::optional<std::wstring> ReadShortcutTarget(const std::wstring& shortcutPath) {
    // Declared in this order so that the COM objects go first, then the
    // apartment, then the file and its folders.
    DirectoryPins pins;
    PinDirectoryChain(pins, ParentPath(shortcutPath), false);
    const ScopedHandle file = OpenFileChecked(shortcutPath, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);

    const std::vector<std::uint8_t> bytes = ReadShortcutBytes(file.Get());
    if (!HasShellLinkHeader(bytes)) {
        return std::nullopt;  // not a shell link at all
    }
    const ComApartment apartment(COINIT_APARTMENTTHREADED);
    RequireCom(apartment.Result());
    std::wstring target = ShortcutTargetOf(bytes);
    if (target.empty()) {
        return std::nullopt;
    }
    return target;
}

bool IsShortcutOfInstallation(const std::wstring& shortcutPath, const std::wstring& installDirectory) {
    const std::optional<std::wstring> target = ReadShortcutTarget(shortcutPath);
    return target && SamePath(*target, JoinPath(installDirectory, AppExecutableName));
}

OperationResult Uninstall(std::atomic<bool>& cancel, const ProgressFunction& progress) {
    return RunOperation([&]() -> OperationResult {
        ReportProgress(progress, Stage::Preparing, 0, 0, true);
        CheckCancel(cancel);

        // Declared in order of acquisition, so released in reverse.
        const std::unique_ptr<EngineLocks> locks = AcquireEngineLocks(false);
        const std::wstring installDirectory = InstallDirectory();
        DirectoryPins installPins;
        PinDirectoryChain(installPins, installDirectory, false);

        const std::string recordedDigest = ReadInstallMarker(installDirectory);
        const std::wstring uninstallerPath = JoinPath(installDirectory, UninstallerName);
        if (SamePath(OwnExecutablePath(), uninstallerPath)) {
            ThrowFailure(FailureCode::AppRunning);  // this very file could not be removed
        }
        ScopedHandle uninstaller =
            OpenFileChecked(uninstallerPath, GENERIC_READ | DELETE, OPEN_EXISTING, FILE_SHARE_READ);
        if (IsOwnExecutable(uninstaller.Get())) {
            ThrowFailure(FailureCode::AppRunning);  // the same file, started by another spelling of its path
        }
        if (HashFile(uninstaller.Get(), 0) != recordedDigest) {
            ThrowFailure(FailureCode::VerificationFailed);  // not the uninstaller this installation recorded
        }
        ScopedHandle marker =
            OpenFileChecked(JoinPath(installDirectory, InstallMarkerName), DELETE, OPEN_EXISTING, FILE_SHARE_READ);
        CheckNotReadOnly(uninstaller.Get());
        CheckNotReadOnly(marker.Get());

        // Every payload file still there, held for deletion; a missing file
        // or folder only skips its row.
        RemovalHandles payload;
        for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
            try {
                const std::wstring path = JoinPath(installDirectory, Utf8ToWide(PayloadManifest[row].name));
                PinDirectoryChain(installPins, ParentPath(path), false);
                ScopedHandle file = OpenFileChecked(path, DELETE, OPEN_EXISTING, FILE_SHARE_READ);
                CheckNotReadOnly(file.Get());
                payload.Append(std::move(file));
            } catch (const Failure& failure) {
                if (failure.code != FailureCode::InstallationNotFound) {
                    throw;
                }
            }
        }
        CheckCancel(cancel);  // the last cancellation point: nothing is removed yet

        const std::uint64_t total = payload.Size();
        ReportProgress(progress, Stage::Removing, 0, total, false);
        for (std::size_t i = 0; i < payload.Size(); ++i) {
            SetDeleteDisposition(payload[i].Get());
            payload[i].Close();  // the file goes now
            ReportProgress(progress, Stage::Removing, i + 1, total, false);
        }

        RemoveShortcuts(installDirectory);
        RemoveUninstallEntry(installDirectory);

        // The marker goes first: a marker must never outlive its uninstaller,
        // or the folder could neither be uninstalled nor replaced. If the
        // uninstaller cannot go, the marker is kept with it, so that a second
        // run can finish; should even that fail, what stays has no marker and
        // the installer replaces it as a leftover.
        SetDeleteDisposition(marker.Get());
        try {
            SetDeleteDisposition(uninstaller.Get());
        } catch (...) {
            FILE_DISPOSITION_INFO keep{FALSE};
            SystemCalls().SetFileInformationByHandle(marker.Get(), FileDispositionInfo, &keep, sizeof keep);
            throw;
        }
        marker.Close();
        uninstaller.Close();

        installPins.Clear();  // a held folder cannot be removed
        for (const std::wstring& folder : ManifestDirectories()) {
            try {
                RemoveDirectoryIfEmpty(JoinPath(installDirectory, folder));
            } catch (const Failure& failure) {
                if (failure.code != FailureCode::InstallationNotFound) {
                    throw;
                }
            }
        }
        RemoveDirectoryIfEmpty(installDirectory);

        ReportProgress(progress, Stage::Completing, 0, 0, false);
        OperationResult result;
        result.installPath = installDirectory;
        return result;
    });
}

}  // namespace pelorin::setup
