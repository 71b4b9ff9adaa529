#include "engine/shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "engine/contract.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

[[noreturn]] void Refuse() { ThrowFailure(FailureCode::RegistrationFailed); }

void Check(HRESULT result) {
    if (FAILED(result)) {
        Refuse();
    }
}

std::wstring TemporaryName(std::wstring_view prefix) {
    return std::wstring(prefix) + RandomHexName() + std::wstring(ShortcutExtension);
}

}  // namespace

ShortcutUpdate::~ShortcutUpdate() {
    try {
        if (!committed) {
            if (replacement.replaced) {
                DeleteFileIfPresent(replacement.targetPath);  // the new shortcut
            }
            if (replacement.backedUp) {
                const std::wstring backup = ToLongPath(replacement.backupPath);
                const std::wstring target = ToLongPath(replacement.targetPath);
                SystemCalls().MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
            }
        }
        if (replacement.created && !replacement.replaced) {
            // A temporary file this update wrote but did not move; a file of
            // that name that was there before is not ours and stays.
            DeleteFileIfPresent(replacement.newPath);
        }
    } catch (...) {
        // The clean-up stops at the first step that fails; nothing is reported.
    }
}  // the folder pins go last

std::unique_ptr<ShortcutUpdate> PrepareShortcutUpdate(const std::wstring& shortcutPath) {
    auto update = std::make_unique<ShortcutUpdate>();
    const std::wstring folder = ParentPath(shortcutPath);
    update->replacement.targetPath = shortcutPath;
    PinDirectoryChain(update->folderPins, folder, true);
    update->replacement.backupPath = JoinPath(folder, TemporaryName(ShortcutBackupPrefix));
    update->replacement.newPath = JoinPath(folder, TemporaryName(ShortcutNewPrefix));
    return update;
}

std::vector<std::uint8_t> BuildShortcutBytes(const std::wstring& targetPath) {
    SystemCallTable& calls = SystemCalls();
    const std::wstring workingFolder = ParentPath(targetPath);
    const std::wstring description(ShortcutDescription);

    // Declared in this order so that the stream, the persist interface and
    // the link object are released before the apartment is left.
    const ComApartment apartment(COINIT_APARTMENTTHREADED);
    if (!apartment.Succeeded()) {
        Refuse();
    }
    ComReference<IShellLinkW> link;
    Check(calls.CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.ReceiveVoid()));
    if (link.Get() == nullptr) {
        Refuse();
    }
    Check(link->SetPath(targetPath.c_str()));
    Check(link->SetWorkingDirectory(workingFolder.c_str()));
    Check(link->SetDescription(description.c_str()));
    Check(link->SetIconLocation(targetPath.c_str(), 0));

    ComReference<IPersistStream> persist;
    Check(link->QueryInterface(IID_IPersistStream, persist.ReceiveVoid()));
    ComReference<IStream> stream;
    Check(calls.CreateStreamOnHGlobal(nullptr, TRUE, stream.Receive()));
    if (persist.Get() == nullptr || stream.Get() == nullptr) {
        Refuse();
    }
    Check(persist->Save(stream.Get(), TRUE));

    STATSTG status{};
    Check(stream->Stat(&status, STATFLAG_NONAME));
    const std::uint64_t size = status.cbSize.QuadPart;
    if (size < 1 || size > MaxShortcutBytes) {
        Refuse();
    }
    LARGE_INTEGER start{};
    Check(stream->Seek(start, STREAM_SEEK_SET, nullptr));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    ULONG read = 0;
    Check(stream->Read(bytes.data(), static_cast<ULONG>(size), &read));
    if (read != size) {
        Refuse();
    }
    return bytes;
}

std::unique_ptr<ShortcutUpdate> InstallShortcut(const std::wstring& shortcutPath, const std::wstring& targetPath) {
    std::unique_ptr<ShortcutUpdate> update = PrepareShortcutUpdate(shortcutPath);
    const std::vector<std::uint8_t> bytes = BuildShortcutBytes(targetPath);
    ReplaceFileWithBackup(update->replacement, bytes.data(), bytes.size());
    return update;
}

void CommitShortcutUpdate(ShortcutUpdate& update) noexcept {
    update.committed = true;
    if (update.replacement.backedUp) {
        try {
            DeleteFileIfPresent(update.replacement.backupPath);
        } catch (...) {
            // The backup stays in the folder.
        }
    }
}

}  // namespace pelorin::setup
