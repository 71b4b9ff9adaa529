#include "payload/entry_names.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/manifest.h"

namespace pelorin::setup {

// This program links its own tiny release: three files in nested folders.
const PayloadEntry PayloadManifest[] = {
    {"a/b/c.txt", 1, "0000000000000000000000000000000000000000000000000000000000000000"},
    {"a/d.txt", 2, "0000000000000000000000000000000000000000000000000000000000000000"},
    {"top.dll", 3, "0000000000000000000000000000000000000000000000000000000000000000"},
};
const std::size_t PayloadEntryCount = 3;
const std::uint64_t PayloadTotalBytes = 6;
const std::uint64_t ReleaseArchiveSize = 0;
const char ReleaseArchiveSha256[] = "0000000000000000000000000000000000000000000000000000000000000000";

namespace {

std::string Repeat(char c, std::size_t n) {
    return std::string(n, c);
}

TEST(IsValidEntryName, Table) {
    const std::string c150 = Repeat('c', 150);
    const struct {
        std::string name;
        bool valid;
    } cases[] = {
        // Length and shape.
        {"", false},
        {"a", true},
        {Repeat('a', 100) + "/" + Repeat('b', 99), true},    // 200 bytes, two components
        {Repeat('a', 100) + "/" + Repeat('b', 100), false},  // 201 bytes
        {c150, true},
        {Repeat('c', 151), false},
        {"x/" + c150, true},
        {"x/" + Repeat('c', 151), false},
        {"/a", false},
        {"a/", false},
        {"a//b", false},
        {"a/./b", false},
        {"a/../b", false},
        {".", false},
        {"..", false},
        {"a./b", false},
        {"a /b", false},
        {"a/b.", false},
        {"a/b ", false},
        {" a", true},
        {".hidden", true},
        {"a.b.c", true},
        {"licenses/x/y.txt", true},
        {"a b/c d.txt", true},
        // Characters Windows forbids.
        {"a\\b", false},
        {"a:b", false},
        {"a*b", false},
        {"a?b", false},
        {"a\"b", false},
        {"a<b", false},
        {"a>b", false},
        {"a|b", false},
        // Device names, in every position and case, whatever the extension.
        {"CON", false},
        {"con.txt", false},
        {"Con.tar.gz", false},
        {"x/NUL/y", false},
        {"x/y/aux", false},
        {"PrN.log", false},
        {"com1.dll", false},
        {"COM0", false},
        {"lpt9.x", false},
        {"LPT5/a", false},
        {"clock$", false},
        {"CONIN$", false},
        {"conout$.log", false},
        {"com10", true},
        {"aux1", true},
        {"nul1", true},
        {"conx", true},
        {"lpt", true},
        {"com", true},
        {"xcon", true},
        {"con_", true},
        {"comA", true},
        // UTF-8.
        {"\xc0\xaf", false},              // overlong '/'
        {"\xe0\x80\xaf", false},          // overlong, three bytes
        {"\xf0\x80\x80\xaf", false},      // overlong, four bytes
        {"\xed\xa0\x80", false},          // surrogate
        {"\xc2\x85", false},              // U+0085, a C1 control
        {"\xc2\x9f", false},              // U+009F
        {"\xf4\x90\x80\x80", false},      // above U+10FFFF
        {"\xf5\x80\x80\x80", false},
        {"\x80", false},                  // lone continuation byte
        {"a\xd0", false},                 // ends inside a sequence
        {"\xd0\x41", false},              // continuation byte missing
        {"\xff", false},
        {"a\tb", false},
        {"a\x7f", false},
        {std::string("a\0b", 3), false},
        {"\xc2\xa0", true},               // U+00A0
        {"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82.txt", true},  // Cyrillic
        {"\xf0\x9f\x98\x80.png", true},   // U+1F600
        {"\xef\xbf\xbd", true},           // U+FFFD
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsValidEntryName(c.name), c.valid) << "name: " << ::testing::PrintToString(c.name);
    }
}

TEST(AsciiLower, LowersAsciiLettersOnly) {
    EXPECT_EQ(AsciiLower("ABC.Dll/Z"), "abc.dll/z");
    // Bytes of multi-byte sequences stay as they are ("П" is D0 9F, "п" D0 BF).
    EXPECT_EQ(AsciiLower("\xd0\x9f@[`{"), "\xd0\x9f@[`{");
}

TEST(CheckNameSet, Cases) {
    const struct {
        std::vector<std::string> names;
        bool ok;
    } cases[] = {
        {{"A.dll", "a.DLL"}, false},
        {{"x", "x/y"}, false},
        {{"X", "x/y"}, false},
        {{"x/y", "X"}, false},
        {{"a/b/c", "A/B"}, false},
        {{"x/y", "x/z"}, true},
        {{"xy", "x/y"}, true},
        {{"x.y", "x/y"}, true},
        {{"a", "b", "CON"}, false},
        {{"a", "a"}, false},
        {{}, true},
        {{"\xd0\x9f", "\xd0\xbf"}, true},  // Cyrillic case is not folded
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckNameSet(c.names), c.ok) << ::testing::PrintToString(c.names);
    }
}

TEST(ManifestDirectories, EveryFolderBeforeItsParent) {
    const std::vector<std::wstring> folders = ManifestDirectories();
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0], L"a\\b");
    EXPECT_EQ(folders[1], L"a");
}

}  // namespace
}  // namespace pelorin::setup
