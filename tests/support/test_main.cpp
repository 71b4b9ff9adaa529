// Test entry point. The engine tests create and delete files in the user's
// profile, so they run only in a throwaway profile that the test harness made
// and marked for them; anywhere else they refuse to start.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

bool InThrowawayProfile() {
    PWSTR profile = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_Profile, 0, nullptr, &profile);
    std::wstring marker;
    if (SUCCEEDED(hr) && profile != nullptr) {
        marker = std::wstring(profile) + L"\\pelorin-test-profile.marker";
    }
    ::CoTaskMemFree(profile);
    if (marker.empty()) {
        return false;
    }
    const DWORD attributes = ::GetFileAttributesW(marker.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!InThrowawayProfile()) {
        std::fprintf(stderr,
                     "refusing to run: this profile has no pelorin-test-profile.marker; "
                     "run the tests through tools/test.sh, which makes a throwaway profile\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
