#include "engine/registration.h"

#include <cstring>
#include <limits>

#include "engine/contract.h"
#include "engine/endpoint.h"
#include "engine/product.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

[[noreturn]] void Refuse() { ThrowFailure(FailureCode::RegistrationFailed); }

// The one way this program creates or opens the key for writing.
LSTATUS CreateUninstallKey(ScopedRegistryKey& key) {
    const std::wstring path(UninstallKeyPath);
    return SystemCalls().RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_WRITE | KEY_QUERY_VALUE | KEY_WOW64_64KEY, nullptr, key.Receive(),
                                         nullptr);
}

bool SetValue(const ScopedRegistryKey& key, const RegistryValueSnapshot& value) {
    if (value.data.size() > std::numeric_limits<DWORD>::max()) {
        return false;
    }
    return SystemCalls().RegSetValueExW(key.Get(), value.name.c_str(), 0, value.type, value.data.data(),
                                        static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
}

// A REG_SZ value: the text and its terminating NUL, two bytes per unit.
RegistryValueSnapshot TextValue(std::wstring_view name, const std::wstring& text) {
    RegistryValueSnapshot value{std::wstring(name), REG_SZ, {}};
    value.data.resize((text.size() + 1) * sizeof(wchar_t));
    std::memcpy(value.data.data(), text.c_str(), value.data.size());
    return value;
}

RegistryValueSnapshot NumberValue(std::wstring_view name, DWORD number) {
    RegistryValueSnapshot value{std::wstring(name), REG_DWORD, std::vector<std::uint8_t>(sizeof(DWORD))};
    std::memcpy(value.data.data(), &number, sizeof(number));
    return value;
}

}  // namespace

void ScopedRegistryKey::Close() noexcept {
    if (key_ == nullptr) {
        return;
    }
    try {
        SystemCalls().RegCloseKey(key_);
    } catch (...) {
        // Clean-up never throws.
    }
    key_ = nullptr;
}

UninstallEntryGuard::~UninstallEntryGuard() {
    if (!written || committed) {
        return;
    }
    try {
        SystemCallTable& calls = SystemCalls();
        const std::wstring path(UninstallKeyPath);
        calls.RegDeleteKeyExW(HKEY_CURRENT_USER, path.c_str(), KEY_WOW64_64KEY, 0);
        if (existed) {
            ScopedRegistryKey key;
            if (CreateUninstallKey(key) == ERROR_SUCCESS) {
                for (const RegistryValueSnapshot& value : snapshot) {
                    SetValue(key, value);
                }
                calls.RegFlushKey(key.Get());
            }
        }
    } catch (...) {
        // What the restore cannot do is not reported.
    }
}

std::unique_ptr<UninstallEntryGuard> SnapshotUninstallEntry() {
    SystemCallTable& calls = SystemCalls();
    auto guard = std::make_unique<UninstallEntryGuard>();
    const std::wstring path(UninstallKeyPath);
    ScopedRegistryKey key;
    const LSTATUS opened =
        calls.RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.Receive());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return guard;
    }
    if (opened != ERROR_SUCCESS) {
        Refuse();
    }
    guard->existed = true;

    DWORD subkeys = 0;
    DWORD values = 0;
    if (calls.RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        subkeys != 0 || values > MaxSavedValues) {
        Refuse();
    }

    std::vector<wchar_t> name(SavedNameBufferChars);
    std::vector<std::uint8_t> data(MaxSavedDataBytes);
    guard->snapshot.reserve(values);
    for (DWORD index = 0; index < values; ++index) {
        DWORD nameLength = SavedNameBufferChars;
        DWORD type = REG_NONE;
        DWORD dataLength = MaxSavedDataBytes;
        if (calls.RegEnumValueW(key.Get(), index, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength) !=
                ERROR_SUCCESS ||
            nameLength >= SavedNameBufferChars || dataLength > MaxSavedDataBytes) {
            Refuse();
        }
        guard->snapshot.push_back({std::wstring(name.data(), nameLength), type,
                                   std::vector<std::uint8_t>(data.begin(), data.begin() + dataLength)});
    }
    return guard;
}

std::wstring ProductWebAddress() { return L"https://" + std::wstring(ProductWebHostName); }

std::vector<RegistryValueSnapshot> UninstallEntryValues(const std::wstring& installDirectory) {
    std::vector<RegistryValueSnapshot> values;
    values.reserve(10);
    values.push_back(TextValue(L"DisplayName", std::wstring(ProductDisplayName)));
    values.push_back(TextValue(L"DisplayVersion", std::wstring(ProductVersion)));
    values.push_back(TextValue(L"Publisher", std::wstring(ProductPublisher)));
    values.push_back(TextValue(L"InstallLocation", installDirectory));
    values.push_back(TextValue(L"DisplayIcon", JoinPath(installDirectory, AppExecutableName)));
    values.push_back(TextValue(L"URLInfoAbout", ProductWebAddress()));
    values.push_back(TextValue(L"UninstallString", L"\"" + JoinPath(installDirectory, UninstallerName) + L"\" " +
                                                       std::wstring(UninstallArgument)));
    values.push_back(NumberValue(L"NoModify", 1));
    values.push_back(NumberValue(L"NoRepair", 1));
    values.push_back(NumberValue(L"EstimatedSize", EstimatedSizeKiB));
    return values;
}

void WriteUninstallEntry(UninstallEntryGuard& guard, const std::wstring& installDirectory) {
    const std::vector<RegistryValueSnapshot> values = UninstallEntryValues(installDirectory);
    ScopedRegistryKey key;
    if (CreateUninstallKey(key) != ERROR_SUCCESS) {
        Refuse();
    }
    guard.written = true;
    bool allSet = true;
    for (const RegistryValueSnapshot& value : values) {
        allSet = SetValue(key, value) && allSet;  // a failed value does not stop the others
    }
    if (SystemCalls().RegFlushKey(key.Get()) != ERROR_SUCCESS) {
        Refuse();
    }
    key.Close();
    if (!allSet) {
        Refuse();
    }
}

}  // namespace pelorin::setup
