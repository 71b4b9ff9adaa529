// The installation's entry in the user's list of installed programs: one key
// under HKEY_CURRENT_USER's Uninstall list (always the 64-bit view), written
// all or nothing. The key's previous content is saved before anything is
// written, and the guard that holds the copy puts the key back exactly as it
// was unless the registration phase completes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::setup {

// Under HKEY_CURRENT_USER, opened with KEY_WOW64_64KEY.
inline constexpr std::wstring_view UninstallKeyPath =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pelorin";
inline constexpr std::wstring_view ProductDisplayName = L"Pelorin";
inline constexpr std::wstring_view ProductPublisher = L"Pelorin";
inline constexpr std::wstring_view UninstallArgument = L"--uninstall";
// A fixed size in KiB, not measured from the installed files.
inline constexpr DWORD EstimatedSizeKiB = 159807;

// What a saved key may hold; a key beyond these limits (or with any subkey)
// does not look like one this program wrote and is left alone.
inline constexpr DWORD MaxSavedValues = 100;
// Name buffer in characters, its terminating NUL included: names up to 511.
inline constexpr DWORD SavedNameBufferChars = 512;
inline constexpr DWORD MaxSavedDataBytes = 65536;

// "https://" and the product's web host (a build setting), no trailing slash.
std::wstring ProductWebAddress();

// One registry value, as enumerated (or as written).
struct RegistryValueSnapshot {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;  // exactly the bytes of the value

    bool operator==(const RegistryValueSnapshot&) const = default;
};

// Owns an open registry key and closes it through the system-call table.
class ScopedRegistryKey {
public:
    ScopedRegistryKey() noexcept = default;
    explicit ScopedRegistryKey(HKEY key) noexcept : key_(key) {}
    ~ScopedRegistryKey() { Close(); }
    ScopedRegistryKey(const ScopedRegistryKey&) = delete;
    ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

    HKEY Get() const noexcept { return key_; }
    // The slot for a call that opens or creates the key; the owner must hold
    // no key yet.
    HKEY* Receive() noexcept { return &key_; }
    // Closes the key now (if any).
    void Close() noexcept;

private:
    HKEY key_ = nullptr;
};

// Saves the uninstall key before a registration and restores it when the
// registration does not complete.
struct UninstallEntryGuard {
    std::vector<RegistryValueSnapshot> snapshot;  // the values before this run, in enumeration order
    bool existed = false;                         // the key existed before this run
    bool written = false;                         // this run created or opened the key for writing
    bool committed = false;                       // the registration phase completed; no restore

    UninstallEntryGuard() = default;
    // When written and not committed: deletes the key and, if it existed,
    // creates it again with the saved values. Results are ignored; never
    // throws.
    ~UninstallEntryGuard();
    UninstallEntryGuard(const UninstallEntryGuard&) = delete;
    UninstallEntryGuard& operator=(const UninstallEntryGuard&) = delete;
};

// Saves the current uninstall key (if any) into a new guard. A key with a
// subkey, more than MaxSavedValues values, a longer name or larger data, or
// one that cannot be read: RegistrationFailed, before anything is written.
std::unique_ptr<UninstallEntryGuard> SnapshotUninstallEntry();

// The ten values of the entry for `installDirectory`, in the order in which
// they are written.
std::vector<RegistryValueSnapshot> UninstallEntryValues(const std::wstring& installDirectory);

// Creates or opens the key, sets the ten values (all of them are tried even
// after a failed one) and flushes the key. Any failure: RegistrationFailed,
// with guard.written already set once the key was created or opened.
void WriteUninstallEntry(UninstallEntryGuard& guard, const std::wstring& installDirectory);

}  // namespace pelorin::setup
