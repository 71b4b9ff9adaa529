#include "tests/support/install_tree.h"

#include <windows.h>
#include <shlobj.h>

#include <stdexcept>

#include "platform/paths.h"

namespace pelorin::setup::testing {
namespace {

std::wstring Long(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

}  // namespace

void RemoveTree(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(Long(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    ::SetFileAttributesW(Long(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if (!::DeleteFileW(Long(path).c_str())) ::RemoveDirectoryW(Long(path).c_str());
        return;
    }
    WIN32_FIND_DATAW data;
    HANDLE search = ::FindFirstFileW(Long(path + L"\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
        } while (::FindNextFileW(search, &data));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(Long(path).c_str());
}

void CreateFolders(const std::wstring& path) {
    const int result = ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS && result != ERROR_FILE_EXISTS) {
        throw std::runtime_error("cannot create a test folder");
    }
}

void ResetProductRoot() {
    const std::wstring root = ProductRootDirectory();
    RemoveTree(root);
    CreateFolders(root);
}

bool PathExists(const std::wstring& path) {
    return ::GetFileAttributesW(Long(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FolderIsEmpty(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE search = ::FindFirstFileW(Long(path + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool empty = true;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") empty = false;
    } while (empty && ::FindNextFileW(search, &data));
    ::FindClose(search);
    return empty;
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file = ::CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open a test file");
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    ::CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = ::CreateFileW(Long(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create a test file");
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
    if (!ok || written != bytes.size()) throw std::runtime_error("cannot write a test file");
}

std::wstring EnvironmentVariable(const wchar_t* name) {
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) return std::wstring();
    std::wstring value(needed, L'\0');
    const DWORD got = ::GetEnvironmentVariableW(name, value.data(), needed);
    value.resize(got < needed ? got : 0);
    return value;
}

}  // namespace pelorin::setup::testing
