// The generated table of the product's release (the demo release unless the
// build was pointed at a real archive) against the archive it came from.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/install_tree.h"

#include "payload/entry_names.h"
#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/handles.h"

namespace pelorin::setup {
namespace {


std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < PayloadEntryCount; ++i) names.emplace_back(PayloadManifest[i].name);
    return names;
}

bool IsLowerHex64(const char* digest) {
    return std::strlen(digest) == 64 &&
           std::all_of(digest, digest + 64, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

TEST(ReleaseTable, HoldsItsInvariants) {
    ASSERT_GT(PayloadEntryCount, 0u);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < PayloadEntryCount; ++i) {
        const PayloadEntry& row = PayloadManifest[i];
        EXPECT_TRUE(IsValidEntryName(row.name)) << row.name;
        EXPECT_LE(row.size, MaxPayloadFileSize) << row.name;
        EXPECT_TRUE(IsLowerHex64(row.sha256)) << row.name;
        if (i > 0) {
            EXPECT_LT(std::strcmp(PayloadManifest[i - 1].name, row.name), 0) << "order at " << row.name;
        }
        EXPECT_STRNE(row.name, "uninstall.exe");
        EXPECT_STRNE(row.name, ".pelorin-installation");
        sum += row.size;
    }
    EXPECT_EQ(sum, PayloadTotalBytes);
    EXPECT_TRUE(CheckNameSet(Names()));
    EXPECT_TRUE(IsLowerHex64(ReleaseArchiveSha256));

    const std::vector<std::wstring> folders = ManifestDirectories();
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const std::size_t cut = folders[i].rfind(L'\\');
        if (cut == std::wstring::npos) continue;
        const auto parent = std::find(folders.begin(), folders.end(), folders[i].substr(0, cut));
        ASSERT_NE(parent, folders.end());
        EXPECT_GT(parent - folders.begin(), static_cast<std::ptrdiff_t>(i)) << "parent after child";
    }
}

TEST(ReleaseTable, MatchesTheArchiveItCameFrom) {
    const std::wstring archive = testing::EnvironmentVariable(L"PELORIN_TEST_RELEASE_ARCHIVE");
    ASSERT_FALSE(archive.empty()) << "PELORIN_TEST_RELEASE_ARCHIVE is not set";
    ScopedHandle file = OpenFileChecked(archive, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    EXPECT_EQ(HashFile(file.Get(), ReleaseArchiveSize), std::string(ReleaseArchiveSha256));
}

TEST(DemoRelease, HasTheShapeOfRelease050) {
    if (testing::EnvironmentVariable(L"PELORIN_TEST_DEMO_RELEASE") != L"1") {
        GTEST_SKIP() << "the build installs a real release archive, not the demo release";
    }
    EXPECT_EQ(PayloadEntryCount, 381u);
    EXPECT_EQ(PayloadTotalBytes, 161545217u);
    EXPECT_EQ(ReleaseArchiveSize, 67290826u);
    EXPECT_EQ(ManifestDirectories().size(), 166u);
    EXPECT_EQ(ManifestDirectories().back(), L"licenses");

    std::size_t topLevel = 0, licences = 0, nonAscii = 0, product = 0, longestName = 0, longestComponent = 0;
    std::uint64_t smallest = UINT64_MAX, largest = 0;
    bool hasApplication = false;
    for (std::size_t i = 0; i < PayloadEntryCount; ++i) {
        const std::string name = PayloadManifest[i].name;
        const bool nested = name.find('/') != std::string::npos;
        topLevel += nested ? 0 : 1;
        licences += name.starts_with("licenses/") ? 1 : 0;
        if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
            ++nonAscii;
            EXPECT_FALSE(nested) << "the Cyrillic name is a top-level file";
        }
        product += !nested && name.starts_with("Pelorin") ? 1 : 0;
        hasApplication = hasApplication || name == "Pelorin.exe";
        longestName = std::max(longestName, name.size());
        std::size_t start = 0;
        for (std::size_t cut = name.find('/'); ; cut = name.find('/', start)) {
            const std::size_t stop = cut == std::string::npos ? name.size() : cut;
            longestComponent = std::max(longestComponent, stop - start);
            if (cut == std::string::npos) break;
            start = cut + 1;
        }
        smallest = std::min(smallest, PayloadManifest[i].size);
        largest = std::max(largest, PayloadManifest[i].size);
    }
    EXPECT_EQ(topLevel, 229u);
    EXPECT_EQ(licences, 152u);
    EXPECT_EQ(nonAscii, 1u);
    EXPECT_EQ(product, 8u);
    EXPECT_TRUE(hasApplication);
    EXPECT_EQ(longestName, 115u);
    EXPECT_EQ(longestComponent, 53u);
    EXPECT_EQ(smallest, 12u);
    EXPECT_EQ(largest, 35025408u);
}

}  // namespace
}  // namespace pelorin::setup
