#include "tests/support/temp_folder.h"

#include <shlobj.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "platform/paths.h"

namespace pelorin::setup::testing {
namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + " failed with error " + std::to_string(::GetLastError()));
}

std::wstring LocalTemp() {
    PWSTR local = nullptr;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local)) || local == nullptr) {
        ::CoTaskMemFree(local);
        Fail("SHGetKnownFolderPath");
    }
    std::wstring text = TrimTrailingBackslashes(local);
    ::CoTaskMemFree(local);
    return JoinPath(text, L"Temp");
}

// Removes a tree, read-only files included; a test's left-overs must not
// stop the next one.
void RemoveTree(const std::wstring& path) {
    const std::wstring longPath = L"\\\\?\\" + path;
    const DWORD attributes = ::GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    ::SetFileAttributesW(longPath.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {  // a link goes, never what it points to
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ::RemoveDirectoryW(longPath.c_str());
        } else {
            ::DeleteFileW(longPath.c_str());
        }
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::DeleteFileW(longPath.c_str());
        return;
    }
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileW((longPath + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") {
                RemoveTree(path + L"\\" + name);
            }
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(longPath.c_str());
}

}  // namespace

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    const std::wstring base = LocalTemp();
    ::CreateDirectoryW(base.c_str(), nullptr);
    for (;;) {
        root_ = JoinPath(base, L"pelorin-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(++counter));
        if (::CreateDirectoryW(root_.c_str(), nullptr)) {
            return;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            Fail("CreateDirectoryW");
        }
    }
}

TempFolder::~TempFolder() {
    RemoveTree(root_);
}

std::wstring TempFolder::Path(std::wstring_view relative) const {
    return JoinPath(root_, relative);
}

TestHandle::~TestHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle_);
    }
}

TestHandle HoldOpen(const std::wstring& path, DWORD access, DWORD share) {
    return TestHandle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr));
}

void WriteTestFile(const std::wstring& path, std::string_view content) {
    const TestHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file.IsValid()) {
        Fail("CreateFileW");
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1 << 20));
        DWORD written = 0;
        if (!::WriteFile(file.Get(), content.data() + done, piece, &written, nullptr) || written != piece) {
            Fail("WriteFile");
        }
        done += piece;
    }
}

void MakeZeroFile(const std::wstring& path, std::uint64_t size) {
    const TestHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!file.IsValid() || !::SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.Get())) {
        Fail("making a zero file");
    }
}

std::string ReadTestFile(const std::wstring& path) {
    const TestHandle file(
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid()) {
        Fail("CreateFileW");
    }
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
        content.append(buffer, read);
    }
    return content;
}

void MakeFolder(const std::wstring& path) {
    if (!::CreateDirectoryW(path.c_str(), nullptr)) {
        Fail("CreateDirectoryW");
    }
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsReparsePoint(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void SetReadOnly(const std::wstring& path, bool readOnly) {
    if (!::SetFileAttributesW(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL)) {
        Fail("SetFileAttributesW");
    }
}

std::string PatternBytes(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(((i * 131) ^ (i >> 9) ^ (i >> 17)) & 0xff);
    }
    return bytes;
}

}  // namespace pelorin::setup::testing
