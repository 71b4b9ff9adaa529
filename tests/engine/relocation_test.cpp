// The installed uninstaller hands over to a verified copy of itself. The
// relocation probe plays the setup program: it installs the small release, so
// the installed "uninstall.exe" is a copy of the probe.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "tests/support/install_tree.h"
#include "tests/support/product_state.h"
#include "tests/support/release_server.h"

namespace pelorin::setup {
namespace {


std::wstring Temp() {
    return JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Temp");
}

// The "Pelorin-Uninstall-*" folders under LocalAppData's Temp.
std::vector<std::wstring> RelocationFolders() {
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW data;
    HANDLE search = ::FindFirstFileW((Temp() + L"\\Pelorin-Uninstall-*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return folders;
    do {
        folders.push_back(JoinPath(Temp(), data.cFileName));
    } while (::FindNextFileW(search, &data));
    ::FindClose(search);
    return folders;
}

// Runs `exe` with `argument` and returns its exit code.
DWORD RunProgram(const std::wstring& exe, const std::wstring& argument) {
    std::wstring commandLine = L"\"" + exe + L"\" " + argument;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        return 0xFFFFFFFF;
    }
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return code;
}

class Relocation : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::wstring& folder : RelocationFolders()) testing::RemoveTree(folder);
        testing::ResetProductState();
        testing::SetServerMode(L"mode=normal");
        report_ = JoinPath(Temp(), L"relocation-report");
        ::SetEnvironmentVariableW(L"PELORIN_PROBE_REPORT", report_.c_str());
        for (const wchar_t* end : {L"-relocating", L"-staying"}) testing::RemoveTree(report_ + end);
        probe_ = testing::EnvironmentVariable(L"PELORIN_TEST_RELOCATION_PROBE");
        ASSERT_FALSE(probe_.empty());
        ASSERT_EQ(RunProgram(probe_, L"--install"), 0u) << "the probe installs the small release";
        uninstaller_ = JoinPath(InstallDirectory(), L"uninstall.exe");
    }
    void TearDown() override {
        // A relocated copy may still be on its way out.
        for (int i = 0; i < 100 && !RelocationFolders().empty(); ++i) {
            for (const std::wstring& folder : RelocationFolders()) testing::RemoveTree(folder);
            if (!RelocationFolders().empty()) ::Sleep(50);
        }
        testing::ResetProductState();
        ::SetEnvironmentVariableW(L"PELORIN_PROBE_REPORT", nullptr);
    }

    // The report of the process that did not relocate, once it is there.
    std::string StayingReport() const {
        const std::wstring file = report_ + L"-staying";
        for (int i = 0; i < 400; ++i, ::Sleep(50)) {
            try {
                const std::string report = testing::ReadFileBytes(file);
                if (!report.empty() && report.back() == '\n') return report;
            } catch (const std::exception&) {
                // Not there yet, or still being written.
            }
        }
        return std::string();
    }

    std::wstring report_, probe_, uninstaller_;
};

TEST_F(Relocation, TheInstalledUninstallerHandsOverToAVerifiedCopy) {
    EXPECT_EQ(RunProgram(uninstaller_, L"--uninstall"), 100u) << "code 0, relocated";
    const std::vector<std::wstring> folders = RelocationFolders();
    ASSERT_EQ(folders.size(), 1u);
    const std::wstring name = folders[0].substr(folders[0].rfind(L'\\') + 1);
    const std::wstring suffix = name.substr(std::wstring(L"Pelorin-Uninstall-").size());
    EXPECT_EQ(suffix.size(), 32u);
    EXPECT_EQ(suffix.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
    const std::wstring copy = JoinPath(folders[0], L"Pelorin-Uninstall.exe");
    EXPECT_EQ(testing::ReadFileBytes(copy), testing::ReadFileBytes(uninstaller_));

    // The copy ran with the relocation argument and stayed where it was.
    const std::string report = StayingReport();
    const std::string copyUtf8(copy.begin(), copy.end());
    EXPECT_TRUE(report.starts_with("0 0 ")) << report;
    EXPECT_NE(report.find("\"" + copyUtf8 + "\" --uninstall-relocated\n"), std::string::npos) << report;
}

TEST_F(Relocation, AnyOtherCopyOfTheProgramStays) {
    for (const wchar_t* argument : {L"--uninstall", L"--uninstall-relocated"}) {
        EXPECT_EQ(RunProgram(probe_, argument), 0u);
        EXPECT_TRUE(RelocationFolders().empty());
    }
}

TEST_F(Relocation, RecognisesTheUninstallerInAnotherLetterCase) {
    std::wstring upper = uninstaller_;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(::towupper(c));
    EXPECT_EQ(RunProgram(upper, L"--uninstall"), 100u);
    EXPECT_EQ(RelocationFolders().size(), 1u);
    EXPECT_TRUE(StayingReport().starts_with("0 0 "));
}

TEST_F(Relocation, RefusesAnUninstallerThatIsNotTheRecordedOne) {
    std::string bytes = testing::ReadFileBytes(uninstaller_);
    bytes.push_back('\0');
    testing::WriteFileBytes(uninstaller_, bytes);
    EXPECT_EQ(RunProgram(uninstaller_, L"--uninstall"), 4u);
    EXPECT_TRUE(RelocationFolders().empty()) << "no copy is made";
}

TEST_F(Relocation, AMissingMarkerIsNotFound) {
    testing::RemoveTree(JoinPath(InstallDirectory(), L".pelorin-installation"));
    EXPECT_EQ(RunProgram(uninstaller_, L"--uninstall"), 8u);
    EXPECT_TRUE(RelocationFolders().empty());
}

TEST_F(Relocation, CreatesAMissingTemporaryFolder) {
    testing::RemoveTree(Temp());
    EXPECT_EQ(RunProgram(uninstaller_, L"--uninstall"), 100u);
    EXPECT_EQ(RelocationFolders().size(), 1u);
    EXPECT_TRUE(StayingReport().starts_with("0 0 "));
}

}  // namespace
}  // namespace pelorin::setup
