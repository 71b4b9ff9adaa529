#include "tests/support/product_state.h"

#include <windows.h>

#include <stdexcept>

#include "platform/paths.h"
#include "tests/support/install_tree.h"

namespace pelorin::setup::testing {
namespace {

constexpr wchar_t KeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pelorin";

}  // namespace

void ResetProductState() {
    RemoveTree(ProductRootDirectory());
    RemoveTree(JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Pelorin"));
    RemoveTree(StartMenuShortcutPath());
    RemoveTree(DesktopShortcutPath());
    ::RegDeleteTreeW(HKEY_CURRENT_USER, KeyPath);
}

bool UninstallEntryExists() {
    return UninstallEntryValueCount() >= 0;
}

int UninstallEntryValueCount() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return -1;
    DWORD values = 0;
    ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                       nullptr);
    ::RegCloseKey(key);
    return static_cast<int>(values);
}

std::wstring UninstallEntryString(const wchar_t* name) {
    wchar_t buffer[4096] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_CURRENT_USER, KeyPath, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, buffer,
                       &bytes) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return buffer;
}

void SetUninstallEntryString(const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, KeyPath, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create the uninstall entry");
    }
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

int StagingFolderCount() {
    WIN32_FIND_DATAW data;
    HANDLE search = ::FindFirstFileW((L"\\\\?\\" + ProductRootDirectory() + L"\\.stage-*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int count = 0;
    do {
        ++count;
    } while (::FindNextFileW(search, &data));
    ::FindClose(search);
    return count;
}

}  // namespace pelorin::setup::testing
