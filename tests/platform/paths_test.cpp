#include "platform/paths.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/install_tree.h"

#include "engine/contract.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/override_call.h"

namespace pelorin::setup {
namespace {

using testing::FailureOf;
using testing::OverrideCall;

std::wstring Repeat(wchar_t c, std::size_t n) {
    return std::wstring(n, c);
}

TEST(PathRule, AcceptsAndRejects) {
    // 32000 characters: "C:\" + 31997 more, split into legal components.
    std::wstring longest = L"C:\\";
    while (longest.size() < 32000) {
        longest += L'a';
        if (longest.size() % 200 == 0 && longest.size() < 31999) longest += L'\\';
    }
    ASSERT_EQ(longest.size(), 32000u);
    const struct {
        std::wstring path;
        bool accepted;
    } cases[] = {
        {L"C:\\", true},                 // drive root
        {L"C:\\a", true},
        {L"C:\\a\\b\\", true},           // one trailing backslash
        {L"C:\\a\\\\b", false},          // doubled backslash
        {L"C:\\a\\\\", false},           // doubled at the end
        {L"C:\\\\", false},
        {L"C:\\a\\.\\b", false},
        {L"C:\\a\\..\\b", false},
        {L"C:\\a\\..", false},
        {L"C:\\.", false},
        {L"C:\\a.\\b", true},            // a name ending in a dot is fine here
        {L"C:\\...\\b", true},           // three dots are a name
        {L"C:\\.hidden", true},
        {L"\\\\server\\share\\x", false}, // network path
        {L"\\\\?\\C:\\x", false},         // already prefixed
        {L"C:a\\b", false},              // drive-relative
        {L"C:/a/b", false},              // forward slashes
        {L"C:\\a/b", false},
        {L"C:\\a:b", false},
        {L"C:\\a\"b", false},
        {L"C:\\a<b", false},
        {L"C:\\a>b", false},
        {L"C:\\a|b", false},
        {L"C:\\a*b\\c?d", true},         // wildcards are not this rule's business
        {L"1:\\a", true},                // the first character is not examined
        {L"C:", false},
        {L"", false},
        {L"C:\\ a \\b ", true},
        {longest, true},
        {longest + L"a", false},         // 32001 characters
    };
    for (const auto& c : cases) {
        const std::string shown(c.path.begin(), c.path.begin() + std::min<std::size_t>(c.path.size(), 40));
        EXPECT_EQ(IsAcceptedPath(c.path), c.accepted) << shown;
        if (c.accepted) {
            EXPECT_EQ(ToLongPath(c.path), L"\\\\?\\" + c.path) << shown;
        } else {
            EXPECT_EQ(FailureOf([&] { ToLongPath(c.path); }), FailureCode::InstallFolderRejected) << shown;
        }
    }
}

TEST(PathRule, JoinAndParent) {
    EXPECT_EQ(JoinPath(L"C:\\base", L"a/b/c.txt"), L"C:\\base\\a\\b\\c.txt");
    EXPECT_EQ(JoinPath(L"C:\\base", L"Programs\\Pelorin"), L"C:\\base\\Programs\\Pelorin");
    // Nothing is merged: joining onto a drive root doubles the backslash,
    // which the acceptance rule then refuses.
    EXPECT_EQ(JoinPath(L"C:\\", L"x"), L"C:\\\\x");
    EXPECT_FALSE(IsAcceptedPath(JoinPath(L"C:\\", L"x")));

    EXPECT_EQ(ParentPath(L"C:\\a\\b\\c"), L"C:\\a\\b");
    EXPECT_EQ(ParentPath(L"C:\\a"), L"C:");
    EXPECT_FALSE(IsAcceptedPath(ParentPath(L"C:\\a")));
    for (const wchar_t* bad : {L"", L"abc", L"\\abc", L"a\\bc"}) {
        EXPECT_EQ(FailureOf([&] { ParentPath(bad); }), FailureCode::InstallFolderRejected);
    }
}

TEST(PathRule, TrailingBackslashesOfKnownFolders) {
    const struct {
        std::wstring in, out;
    } cases[] = {
        {L"C:\\Users\\u\\AppData\\Local", L"C:\\Users\\u\\AppData\\Local"},
        {L"C:\\Users\\u\\", L"C:\\Users\\u"},
        {L"C:\\Users\\u\\\\\\", L"C:\\Users\\u"},
        {L"C:\\\\\\", L"C:\\"},
        {L"C:\\", L"C:\\"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TrimTrailingBackslashes(c.in), c.out);
    }
}


TEST(Locations, BuiltFromTheProfilesKnownFolders) {
    const std::wstring local = KnownFolderPath(FOLDERID_LocalAppData);
    const std::wstring fromEnvironment = testing::EnvironmentVariable(L"LOCALAPPDATA");
    ASSERT_FALSE(fromEnvironment.empty());
    EXPECT_TRUE(SamePath(local, TrimTrailingBackslashes(fromEnvironment)));
    EXPECT_EQ(ProductRootDirectory(), local + L"\\Programs\\Pelorin");
    EXPECT_EQ(InstallDirectory(), local + L"\\Programs\\Pelorin\\0.5.0");
    EXPECT_EQ(InstallDirectoryOrEmpty(), InstallDirectory());
    EXPECT_EQ(DataDirectory(), local + L"\\Pelorin\\Windows");
    EXPECT_EQ(StartMenuShortcutPath(), KnownFolderPath(FOLDERID_Programs) + L"\\Pelorin.lnk");
    EXPECT_EQ(DesktopShortcutPath(), KnownFolderPath(FOLDERID_Desktop) + L"\\Pelorin.lnk");
    for (const std::wstring& p : {ProductRootDirectory(), InstallDirectory(), DataDirectory(), StartMenuShortcutPath(),
                                  DesktopShortcutPath()}) {
        EXPECT_TRUE(IsAcceptedPath(p));
    }
}

// Makes SHGetKnownFolderPath answer with `text` (or fail with `hr`).
class FakeKnownFolder {
public:
    FakeKnownFolder(std::wstring text, HRESULT hr = S_OK)
        : override_(SystemCalls().SHGetKnownFolderPath,
                    [text = std::move(text), hr](REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* out) -> HRESULT {
                        const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
                        auto* copy = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
                        std::copy(text.c_str(), text.c_str() + text.size() + 1, copy);
                        *out = copy;  // the shell hands out a buffer even on failure
                        return hr;
                    }) {}

private:
    OverrideCall<HRESULT(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*)> override_;
};

TEST(Locations, KnownFolderAnswersAreChecked) {
    {
        FakeKnownFolder fake(L"D:\\Profile\\Local\\\\");
        EXPECT_EQ(KnownFolderPath(FOLDERID_LocalAppData), L"D:\\Profile\\Local");
        EXPECT_EQ(InstallDirectory(), L"D:\\Profile\\Local\\Programs\\Pelorin\\0.5.0");
    }
    {
        FakeKnownFolder fake(L"D:\\\\");
        EXPECT_EQ(KnownFolderPath(FOLDERID_Desktop), L"D:\\");
        // A drive root as the folder doubles the backslash of every location.
        EXPECT_EQ(FailureOf([] { ToLongPath(DesktopShortcutPath()); }), FailureCode::InstallFolderRejected);
    }
    {
        FakeKnownFolder fake(L"\\\\server\\profile");
        EXPECT_EQ(FailureOf([] { KnownFolderPath(FOLDERID_LocalAppData); }), FailureCode::InstallFolderRejected);
        EXPECT_EQ(InstallDirectoryOrEmpty(), L"");
    }
    {
        FakeKnownFolder fake(L"", E_FAIL);
        EXPECT_EQ(FailureOf([] { KnownFolderPath(FOLDERID_LocalAppData); }), FailureCode::WriteFailed);
        EXPECT_EQ(FailureOf([] { DataDirectory(); }), FailureCode::WriteFailed);
        EXPECT_EQ(InstallDirectoryOrEmpty(), L"");
    }
}

TEST(Locations, OwnExecutablePath) {
    const std::wstring own = OwnExecutablePath();
    EXPECT_TRUE(IsAcceptedPath(own));
    EXPECT_TRUE(own.ends_with(L"paths_tests.exe"));

    using Signature = DWORD(HMODULE, LPWSTR, DWORD);
    auto answering = [](std::wstring text, DWORD length) {
        return [text, length](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
            std::copy(text.begin(), text.begin() + std::min<std::size_t>(text.size(), size), buffer);
            return length;
        };
    };
    {
        OverrideCall<Signature> fake(SystemCalls().GetModuleFileNameW, answering(L"", 0));
        EXPECT_EQ(FailureOf([] { OwnExecutablePath(); }), FailureCode::InstallFolderRejected);
    }
    {
        OverrideCall<Signature> fake(SystemCalls().GetModuleFileNameW, answering(Repeat(L'a', 32768), 32768));
        EXPECT_EQ(FailureOf([] { OwnExecutablePath(); }), FailureCode::InstallFolderRejected);
    }
    for (const std::wstring& refused : {std::wstring(L"\\\\server\\share\\setup.exe"),
                                        std::wstring(L"\\\\?\\C:\\setup.exe")}) {
        OverrideCall<Signature> fake(SystemCalls().GetModuleFileNameW,
                                     answering(refused, static_cast<DWORD>(refused.size())));
        EXPECT_EQ(FailureOf([] { OwnExecutablePath(); }), FailureCode::InstallFolderRejected);
    }
    {
        const std::wstring fine = L"C:\\Users\\u\\Downloads\\setup.exe";
        OverrideCall<Signature> fake(SystemCalls().GetModuleFileNameW,
                                     answering(fine, static_cast<DWORD>(fine.size())));
        EXPECT_EQ(OwnExecutablePath(), fine);
    }
}

TEST(Utf8ToWide, ConvertsStrictUtf8Only) {
    EXPECT_EQ(Utf8ToWide("licenses/x.txt"), L"licenses/x.txt");
    EXPECT_EQ(Utf8ToWide("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82.txt"), L"Привет.txt");
    EXPECT_EQ(Utf8ToWide(std::string(32000, 'a')).size(), 32000u);
    const std::string refused[] = {
        std::string(),
        std::string(32001, 'a'),
        std::string("\x80"),          // lone continuation byte
        std::string("a\xc0\xaf"),     // overlong '/'
        std::string("a\xd0"),         // ends inside a sequence
        std::string("\xed\xa0\x80"),  // surrogate
    };
    for (const std::string& text : refused) {
        EXPECT_EQ(FailureOf([&] { Utf8ToWide(text); }), FailureCode::InstallFolderRejected) << text.size();
    }
}

TEST(SamePath, IgnoresCaseOnly) {
    const struct {
        std::wstring a, b;
        bool same;
    } cases[] = {
        {L"C:\\Users\\U\\AppData", L"c:\\users\\u\\appdata", true},
        {L"C:\\Папка\\x", L"C:\\ПАПКА\\X", true},
        {L"C:\\a\\b", L"C:\\a\\b\\", false},
        {L"C:\\a\\b", L"\\\\?\\C:\\a\\b", false},
        {L"C:\\a\\b", L"C:/a/b", false},
        {L"C:\\a", L"C:\\b", false},
        {L"", L"", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SamePath(c.a, c.b), c.same);
    }
}

}  // namespace
}  // namespace pelorin::setup
