#include "payload/verify.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "engine/product.h"
#include "payload/entry_names.h"
#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

std::wstring ManifestRelativePath(const char* name) {
    std::wstring relative = Utf8ToWide(name);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    return relative;
}

class FindHandle {
public:
    explicit FindHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~FindHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            SystemCalls().FindClose(handle_);
        }
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE Get() const noexcept { return handle_; }

private:
    HANDLE handle_;
};

// Lists one folder; rejects any entry that is not expected, and any link.
void ListFolder(const std::wstring& folder, const std::wstring& relative, const std::set<std::wstring>& expectedFiles,
                const std::set<std::wstring>& expectedDirs, std::vector<std::wstring>& pending) {
    WIN32_FIND_DATAW data;
    const std::wstring pattern = ToLongPath(JoinPath(folder, L"*"));
    FindHandle search(SystemCalls().FindFirstFileW(pattern.c_str(), &data));
    if (search.Get() == INVALID_HANDLE_VALUE) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    bool rejected = false;
    do {
        const std::wstring_view name(data.cFileName);
        if (name == L"." || name == L"..") {
            continue;
        }
        std::wstring path = relative.empty() ? std::wstring(name) : relative + L"\\" + std::wstring(name);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            rejected = true;
        } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (expectedDirs.count(path) == 0) {
                rejected = true;
            } else {
                pending.push_back(std::move(path));
            }
        } else if (expectedFiles.count(path) == 0) {
            rejected = true;
        }
    } while (!rejected && SystemCalls().FindNextFileW(search.Get(), &data));
    const DWORD lastError = ::GetLastError();
    if (rejected || lastError != ERROR_NO_MORE_FILES) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
}

}  // namespace

void VerifyInstalledTree(const std::wstring& installDir, const std::atomic<bool>* cancel,
                         const ProgressFunction& progress) {
    VerifiedInstallation held;
    VerifyInstalledTree(installDir, cancel, progress, held);
}

void VerifyInstalledTree(const std::wstring& installDir, const std::atomic<bool>* cancel,
                         const ProgressFunction& progress, VerifiedInstallation& held) {
    DirectoryPins pins;
    ScopedHandle application;
    PinDirectoryChain(pins, installDir, false);

    std::set<std::wstring> expectedFiles = {std::wstring(InstallMarkerName), std::wstring(UninstallerName)};
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        expectedFiles.insert(ManifestRelativePath(PayloadManifest[row].name));
    }
    const std::vector<std::wstring> directories = ManifestDirectories();
    const std::set<std::wstring> expectedDirs(directories.begin(), directories.end());

    std::vector<std::wstring> pending = {std::wstring()};
    while (!pending.empty()) {
        const std::wstring relative = std::move(pending.back());
        pending.pop_back();
        const std::wstring folder = relative.empty() ? installDir : JoinPath(installDir, relative);
        PinDirectoryChain(pins, folder, false);
        ListFolder(folder, relative, expectedFiles, expectedDirs, pending);
    }

    const std::string uninstallerDigest = ReadInstallMarker(installDir);
    const ScopedHandle uninstaller =
        OpenFileChecked(JoinPath(installDir, UninstallerName), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    if (HashFile(uninstaller.Get(), 0) != uninstallerDigest) {
        ThrowFailure(FailureCode::VerificationFailed);
    }

    std::uint64_t done = 0;
    for (std::size_t row = 0; row < PayloadEntryCount; ++row) {
        if (cancel != nullptr && cancel->load()) {
            ThrowFailure(FailureCode::Cancelled);
        }
        const PayloadEntry& entry = PayloadManifest[row];
        const std::wstring relative = Utf8ToWide(entry.name);
        const std::wstring path = JoinPath(installDir, relative);
        PinDirectoryChain(pins, ParentPath(path), false);
        ScopedHandle file = OpenFileChecked(path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        if (HashFile(file.Get(), entry.size) != entry.sha256) {
            ThrowFailure(FailureCode::VerificationFailed);
        }
        if (relative == AppExecutableName) {
            application = std::move(file);  // kept as it was hashed
        }
        done += entry.size;
        ReportProgress(progress, Stage::Verifying, done, PayloadTotalBytes, true);
    }
    // Handed over only now, when everything has passed.
    held.pins = std::move(pins);
    held.application = std::move(application);
}

}  // namespace pelorin::setup
