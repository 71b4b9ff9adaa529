// The uninstall entry: its ten values, the saved copy of an earlier key and
// the exact restore of that key when the registration does not complete.
#include "engine/registration.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/system_call_fakes.h"

namespace pelorin::setup {

// Shows values readably in test messages.
inline void PrintTo(const RegistryValueSnapshot& value, std::ostream* out) {
    *out << "{" << ::testing::PrintToString(value.name) << ", type " << value.type << ", " << value.data.size()
         << " bytes:";
    for (std::size_t i = 0; i < value.data.size() && i < 24; ++i) {
        *out << " " << static_cast<int>(value.data[i]);
    }
    *out << (value.data.size() > 24 ? " ...}" : "}");
}

namespace {

using testing::CallSpy;
using testing::FailureOf;
using testing::OverrideCall;

using SetValueSignature = LSTATUS(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
using OpenKeySignature = LSTATUS(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
using CreateKeySignature = LSTATUS(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
using EnumValueSignature = LSTATUS(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using QueryInfoSignature = LSTATUS(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                   LPDWORD, PFILETIME);

const std::wstring KeyPath(UninstallKeyPath);

// --- Direct registry helpers (never through the table) ----------------------

using Values = std::vector<RegistryValueSnapshot>;

RegistryValueSnapshot Bytes(std::wstring name, DWORD type, std::vector<std::uint8_t> data) {
    return {std::move(name), type, std::move(data)};
}

RegistryValueSnapshot Text(std::wstring name, const std::wstring& text) {
    std::vector<std::uint8_t> data((text.size() + 1) * 2);
    std::memcpy(data.data(), text.c_str(), data.size());
    return {std::move(name), REG_SZ, std::move(data)};
}

RegistryValueSnapshot Number(std::wstring name, DWORD number) {
    std::vector<std::uint8_t> data(4);
    std::memcpy(data.data(), &number, 4);
    return {std::move(name), REG_DWORD, std::move(data)};
}

void DeleteKey() {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, KeyPath.c_str());
    ::RegDeleteKeyExW(HKEY_CURRENT_USER, KeyPath.c_str(), KEY_WOW64_64KEY, 0);
}

// Replaces the key with one holding exactly `values` (and `subkey`, if not
// empty).
void MakeKey(const Values& values, const std::wstring& subkey = {}) {
    DeleteKey();
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, KeyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const auto& value : values) {
        ASSERT_EQ(::RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                                   static_cast<DWORD>(value.data.size())),
                  ERROR_SUCCESS)
            << ::testing::PrintToString(value.name);
    }
    if (!subkey.empty()) {
        HKEY child = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(key, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
                  ERROR_SUCCESS);
        ::RegCloseKey(child);
    }
    ::RegCloseKey(key);
}

// What the key holds now, its values sorted by name; `exists` is false when
// there is no key.
struct KeyContent {
    bool exists = false;
    DWORD subkeys = 0;
    Values values;
    bool operator==(const KeyContent&) const = default;
};

KeyContent ReadKey() {
    KeyContent content;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return content;
    }
    content.exists = true;
    DWORD count = 0;
    ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &content.subkeys, nullptr, nullptr, &count, nullptr, nullptr,
                       nullptr, nullptr);
    std::vector<wchar_t> name(16384);
    std::vector<std::uint8_t> data(1 << 20);
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (::RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength) ==
            ERROR_SUCCESS) {
            content.values.push_back({std::wstring(name.data(), nameLength), type,
                                      std::vector<std::uint8_t>(data.begin(), data.begin() + dataLength)});
        }
    }
    ::RegCloseKey(key);
    std::sort(content.values.begin(), content.values.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    return content;
}

// An earlier key of assorted kinds, byte patterns a text-minded restore
// would change: the default value, binary data, a REG_SZ with an odd length
// and no terminator, an empty REG_NONE, a multi-string, a 64-bit number, and
// a value of this program with an older version.
Values EarlierValues() {
    return {
        Text(L"", L"default"),
        Text(L"DisplayVersion", L"0.4.0"),
        Bytes(L"Blob", REG_BINARY, {0, 1, 2, 0xfe, 0xff, 0}),
        Bytes(L"Unterminated", REG_SZ, {'a', 0, 'b'}),
        Bytes(L"Nothing", REG_NONE, {}),
        Bytes(L"Several", REG_MULTI_SZ, {'x', 0, 0, 0, 'y', 0, 0, 0, 0, 0}),
        Bytes(L"Wide", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}),
        Number(L"NoModify", 0),
    };
}

// --- Fixture ----------------------------------------------------------------

// Starts and ends every test without the key, and checks on the way that
// every key the engine opened or created was closed again and that every
// call went to the user's 64-bit view of the one key.
class Registration : public ::testing::Test {
protected:
    void SetUp() override { DeleteKey(); }
    void TearDown() override {
        DeleteKey();
        EXPECT_TRUE(open.empty()) << open.size() << " key(s) left open";
        EXPECT_TRUE(wrongCalls.empty()) << ::testing::PrintToString(wrongCalls);
    }

    void Keep(LSTATUS status, HKEY* key) {
        if (status == ERROR_SUCCESS && key != nullptr && *key != nullptr) {
            open.insert(*key);
        }
    }
    void CheckTarget(const char* call, HKEY root, LPCWSTR path, REGSAM access) {
        if (root != HKEY_CURRENT_USER || path == nullptr || KeyPath != path || (access & KEY_WOW64_64KEY) == 0) {
            wrongCalls.push_back(call);
        }
    }

    std::set<HKEY> open;
    std::vector<std::string> wrongCalls;
    OverrideCall<OpenKeySignature> openKey{
        SystemCalls().RegOpenKeyExW, [this](HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
            CheckTarget("RegOpenKeyExW", root, path, access);
            const LSTATUS status = openKey.Original()(root, path, options, access, key);
            Keep(status, key);
            return status;
        }};
    OverrideCall<CreateKeySignature> createKey{
        SystemCalls().RegCreateKeyExW,
        [this](HKEY root, LPCWSTR path, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
               LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition) {
            CheckTarget("RegCreateKeyExW", root, path, access);
            if (options != REG_OPTION_NON_VOLATILE || access != (KEY_WRITE | KEY_QUERY_VALUE | KEY_WOW64_64KEY)) {
                wrongCalls.push_back("RegCreateKeyExW options");
            }
            const LSTATUS status =
                createKey.Original()(root, path, reserved, keyClass, options, access, security, key, disposition);
            Keep(status, key);
            return status;
        }};
    OverrideCall<LSTATUS(HKEY, LPCWSTR, REGSAM, DWORD)> deleteKey{
        SystemCalls().RegDeleteKeyExW, [this](HKEY root, LPCWSTR path, REGSAM view, DWORD reserved) {
            CheckTarget("RegDeleteKeyExW", root, path, view);
            return deleteKey.Original()(root, path, view, reserved);
        }};
    OverrideCall<LSTATUS(HKEY)> closeKey{SystemCalls().RegCloseKey, [this](HKEY key) {
                                             if (open.erase(key) == 0) {
                                                 wrongCalls.push_back("RegCloseKey of a key not opened");
                                             }
                                             return closeKey.Original()(key);
                                         }};
};

// --- The ten values ---------------------------------------------------------

TEST_F(Registration, WritesExactlyTheTenValuesInOrder) {
    const struct {
        std::wstring installDirectory;
        std::wstring uninstallString;
    } cases[] = {
        {InstallDirectory(), L"\"" + InstallDirectory() + L"\\uninstall.exe\" --uninstall"},
        // Spaces are enclosed by the quotes and nothing else is added.
        {L"D:\\Some User\\App Data\\Pelorin\\0.5.0",
         L"\"D:\\Some User\\App Data\\Pelorin\\0.5.0\\uninstall.exe\" --uninstall"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.installDirectory));
        DeleteKey();
        std::vector<std::wstring> order;
        {
            auto guard = SnapshotUninstallEntry();
            EXPECT_FALSE(guard->existed);
            CallSpy<SetValueSignature> set(SystemCalls().RegSetValueExW);
            set.OnCall([&](HKEY, LPCWSTR name, DWORD, DWORD, const BYTE*, DWORD) { order.push_back(name); });
            CallSpy<LSTATUS(HKEY)> flush(SystemCalls().RegFlushKey);
            WriteUninstallEntry(*guard, c.installDirectory);
            EXPECT_TRUE(guard->written);
            EXPECT_EQ(flush.Calls(), 1);
            guard->committed = true;
        }
        EXPECT_EQ(order, (std::vector<std::wstring>{L"DisplayName", L"DisplayVersion", L"Publisher", L"InstallLocation",
                                                    L"DisplayIcon", L"URLInfoAbout", L"UninstallString", L"NoModify",
                                                    L"NoRepair", L"EstimatedSize"}));
        Values expected{
            Text(L"DisplayName", L"Pelorin"),
            Text(L"DisplayVersion", L"0.5.0"),
            Text(L"Publisher", L"Pelorin"),
            Text(L"InstallLocation", c.installDirectory),
            Text(L"DisplayIcon", c.installDirectory + L"\\Pelorin.exe"),
            // The configured web host behind the scheme, no trailing slash.
            Text(L"URLInfoAbout", std::wstring(L"https://") + CONFIGURED_WEB_HOST),
            Text(L"UninstallString", c.uninstallString),
            Number(L"NoModify", 1),
            Number(L"NoRepair", 1),
            Number(L"EstimatedSize", 159807),
        };
        std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
        EXPECT_EQ(ReadKey(), (KeyContent{true, 0, expected}));
    }
}

TEST_F(Registration, ReRegistrationKeepsValuesOfOtherNames) {
    MakeKey({Text(L"Comments", L"kept"), Bytes(L"Blob", REG_BINARY, {9, 8, 7}), Text(L"DisplayVersion", L"0.4.0"),
             Text(L"InstallLocation", L"C:\\elsewhere")});
    {
        auto guard = SnapshotUninstallEntry();
        EXPECT_TRUE(guard->existed);
        WriteUninstallEntry(*guard, InstallDirectory());
        guard->committed = true;
    }
    const KeyContent after = ReadKey();
    ASSERT_EQ(after.values.size(), 12u);
    const auto find = [&](const std::wstring& name) {
        const auto it =
            std::find_if(after.values.begin(), after.values.end(), [&](const auto& v) { return v.name == name; });
        return it == after.values.end() ? RegistryValueSnapshot{} : *it;
    };
    EXPECT_EQ(find(L"Comments"), Text(L"Comments", L"kept"));
    EXPECT_EQ(find(L"Blob"), Bytes(L"Blob", REG_BINARY, {9, 8, 7}));
    EXPECT_EQ(find(L"DisplayVersion"), Text(L"DisplayVersion", L"0.5.0"));
    EXPECT_EQ(find(L"InstallLocation"), Text(L"InstallLocation", InstallDirectory()));
}

// --- The saved copy ---------------------------------------------------------

TEST_F(Registration, SnapshotKeepsEveryValueByteForByte) {
    MakeKey(EarlierValues());
    auto guard = SnapshotUninstallEntry();
    EXPECT_TRUE(guard->existed);
    EXPECT_FALSE(guard->written);
    Values saved = guard->snapshot;
    std::sort(saved.begin(), saved.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    EXPECT_EQ(saved, ReadKey().values);
}

TEST_F(Registration, SnapshotLimits) {
    const auto manyValues = [](int n) {
        Values values;
        for (int i = 0; i < n; ++i) {
            values.push_back(Number(L"v" + std::to_wstring(i), static_cast<DWORD>(i)));
        }
        return values;
    };
    const struct {
        const char* what;
        Values values;
        std::wstring subkey;
        bool accepted;
    } cases[] = {
        {"a subkey", {Text(L"DisplayName", L"Pelorin")}, L"child", false},
        {"a subkey and no values", {}, L"child", false},
        {"101 values", manyValues(101), {}, false},
        {"100 values", manyValues(100), {}, true},
        {"a 512-character name", {Number(std::wstring(512, L'n'), 1)}, {}, false},
        {"a 511-character name", {Number(std::wstring(511, L'n'), 1)}, {}, true},
        {"65537 bytes of data", {Bytes(L"big", REG_BINARY, std::vector<std::uint8_t>(65537, 7))}, {}, false},
        {"65536 bytes of data", {Bytes(L"big", REG_BINARY, std::vector<std::uint8_t>(65536, 7))}, {}, true},
    };
    for (const auto& c : cases) {
        MakeKey(c.values, c.subkey);
        const KeyContent before = ReadKey();
        std::unique_ptr<UninstallEntryGuard> guard;
        EXPECT_EQ(FailureOf([&] { guard = SnapshotUninstallEntry(); }),
                  c.accepted ? FailureCode::None : FailureCode::RegistrationFailed)
            << c.what;
        if (guard) {
            EXPECT_EQ(guard->snapshot.size(), c.values.size()) << c.what;
        }
        guard.reset();
        EXPECT_EQ(ReadKey(), before) << c.what;
    }
}

TEST_F(Registration, SnapshotReadFailures) {
    const struct {
        const char* what;
        std::function<std::shared_ptr<void>()> arrange;
    } cases[] = {
        {"open refused",
         [] {
             auto spy = std::make_shared<CallSpy<OpenKeySignature>>(SystemCalls().RegOpenKeyExW);
             spy->FailCall(1, ERROR_ACCESS_DENIED);
             return spy;
         }},
        {"key information refused",
         [] {
             auto spy = std::make_shared<CallSpy<QueryInfoSignature>>(SystemCalls().RegQueryInfoKeyW);
             spy->FailCall(1, ERROR_ACCESS_DENIED);
             return spy;
         }},
        {"second value unreadable",
         [] {
             auto spy = std::make_shared<CallSpy<EnumValueSignature>>(SystemCalls().RegEnumValueW);
             spy->FailCall(2, ERROR_NO_MORE_ITEMS);
             return spy;
         }},
    };
    for (const auto& c : cases) {
        MakeKey(EarlierValues());
        const auto arrangement = c.arrange();
        EXPECT_EQ(FailureOf([] { SnapshotUninstallEntry(); }), FailureCode::RegistrationFailed) << c.what;
    }
}

// --- Restore ----------------------------------------------------------------

// Whatever fails after the key was opened for writing, the guard puts the
// earlier key back exactly, or removes the key when there was none; a key
// that could not even be opened is left as it was.
TEST_F(Registration, AFailedWriteRestoresTheEarlierKey) {
    struct Case {
        std::string what;
        std::function<std::shared_ptr<void>()> arrange;
        bool written;
    };
    std::vector<Case> cases;
    for (int n = 1; n <= 10; ++n) {
        cases.push_back({"value " + std::to_string(n) + " refused",
                         [n] {
                             auto spy = std::make_shared<CallSpy<SetValueSignature>>(SystemCalls().RegSetValueExW);
                             spy->FailCall(n, ERROR_ACCESS_DENIED);
                             return spy;
                         },
                         true});
    }
    cases.push_back({"flush refused",
                     [] {
                         auto spy = std::make_shared<CallSpy<LSTATUS(HKEY)>>(SystemCalls().RegFlushKey);
                         spy->FailCall(1, ERROR_BADKEY);
                         return spy;
                     },
                     true});
    cases.push_back({"key cannot be created",
                     [] {
                         auto spy = std::make_shared<CallSpy<CreateKeySignature>>(SystemCalls().RegCreateKeyExW);
                         spy->FailCall(1, ERROR_ACCESS_DENIED);
                         return spy;
                     },
                     false});

    for (const bool earlier : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what + (earlier ? " over an earlier key" : " without an earlier key"));
            if (earlier) {
                MakeKey(EarlierValues());
            } else {
                DeleteKey();
            }
            const KeyContent before = ReadKey();
            {
                auto guard = SnapshotUninstallEntry();
                {
                    const auto arrangement = c.arrange();
                    CallSpy<SetValueSignature> set(SystemCalls().RegSetValueExW);  // sees refused calls too
                    EXPECT_EQ(FailureOf([&] { WriteUninstallEntry(*guard, InstallDirectory()); }),
                              FailureCode::RegistrationFailed);
                    // A refused value does not stop the others.
                    EXPECT_EQ(set.Calls(), c.written ? 10 : 0);
                }
                EXPECT_EQ(guard->written, c.written);
            }
            EXPECT_EQ(ReadKey(), before);
        }
    }
}

TEST_F(Registration, ACommittedOrUntouchedKeyIsNotRestored) {
    MakeKey(EarlierValues());
    const KeyContent before = ReadKey();
    { auto guard = SnapshotUninstallEntry(); }  // never written
    EXPECT_EQ(ReadKey(), before);
    {
        auto guard = SnapshotUninstallEntry();
        WriteUninstallEntry(*guard, InstallDirectory());
        guard->committed = true;
    }
    // Eight new names; "DisplayVersion" and "NoModify" were there already.
    EXPECT_EQ(ReadKey().values.size(), before.values.size() + 8);
}

}  // namespace
}  // namespace pelorin::setup
