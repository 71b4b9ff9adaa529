// The built setup program as a user runs it: its command-line forms and exit
// codes, the usage and failure boxes dismissed the way a user would, an
// install through its window, the installed uninstaller handing over to its
// relocated copy (also when the program carries an Authenticode signature),
// and the resources of the product executable.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "tests/support/install_tree.h"
#include "tests/support/product_state.h"
#include "tests/support/release_server.h"

namespace pelorin::setup::testing {
namespace {

constexpr wchar_t WindowClass[] = L"Pelorin.Setup.Window";
constexpr DWORD Patience = 30000;

std::wstring TextOf(HWND window) {
    wchar_t buffer[1024] = {};
    const int length = ::GetWindowTextW(window, buffer, 1024);
    return std::wstring(buffer, static_cast<std::size_t>(std::max(length, 0)));
}

std::wstring ClassOf(HWND window) {
    wchar_t buffer[256] = {};
    const int length = ::GetClassNameW(window, buffer, 256);
    return std::wstring(buffer, static_cast<std::size_t>(std::max(length, 0)));
}

// The visible top-level windows of class `className` (of process `pid`, or of
// any process when pid is 0).
std::vector<HWND> TopWindows(const std::wstring& className, DWORD pid = 0) {
    struct Search {
        std::wstring className;
        DWORD pid;
        std::vector<HWND> found;
    } search{className, pid, {}};
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if ((s.pid == 0 || owner == s.pid) && ::IsWindowVisible(window) && ClassOf(window) == s.className) {
                s.found.push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(const std::wstring& className, DWORD pid = 0, DWORD ms = Patience) {
    for (DWORD waited = 0; waited < ms; waited += 20, ::Sleep(20)) {
        const std::vector<HWND> found = TopWindows(className, pid);
        if (!found.empty()) return found.front();
    }
    return nullptr;
}

bool WaitForText(HWND control, const std::wstring& text, DWORD ms = Patience) {
    for (DWORD waited = 0; waited < ms; waited += 20, ::Sleep(20)) {
        if (TextOf(control) == text) return true;
    }
    return false;
}

// The text of a message box.
std::wstring BoxText(HWND box) {
    wchar_t buffer[1024] = {};
    ::GetDlgItemTextW(box, 0xFFFF, buffer, 1024);
    return buffer;
}

// Presses a box's button as a click would.
void Click(HWND button) {
    ASSERT_NE(button, nullptr);
    ::SendMessageW(button, BM_CLICK, 0, 0);
}

class Program {
public:
    Program(const std::wstring& exe, const std::wstring& arguments) {
        std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        started_ = ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &process_) != FALSE;
    }
    ~Program() {
        if (started_) {
            if (::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
                ::TerminateProcess(process_.hProcess, 99);
                ::WaitForSingleObject(process_.hProcess, 10000);
            }
            ::CloseHandle(process_.hThread);
            ::CloseHandle(process_.hProcess);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return started_; }
    DWORD Id() const { return process_.dwProcessId; }
    // The exit code, or STILL_ACTIVE after `ms`.
    DWORD ExitCode(DWORD ms = Patience) const {
        ::WaitForSingleObject(process_.hProcess, ms);
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

private:
    bool started_ = false;
    PROCESS_INFORMATION process_{};
};

class SetupProgram : public ::testing::Test {
protected:
    void SetUp() override {
        setup_ = EnvironmentVariable(L"PELORIN_TEST_SETUP");
        ASSERT_FALSE(setup_.empty()) << "PELORIN_TEST_SETUP names the setup program built with the small release";
        ResetProductState();
        RemoveRelocationFolders();
        SetServerMode(L"mode=normal");
    }
    void TearDown() override {
        for (int i = 0; i < 100 && RemoveRelocationFolders() > 0; ++i) ::Sleep(50);
        ResetProductState();
    }

    static std::wstring Temp() { return JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Temp"); }

    // Removes the relocated uninstallers; returns how many were there.
    static int RemoveRelocationFolders() {
        int count = 0;
        WIN32_FIND_DATAW data;
        const HANDLE search = ::FindFirstFileW((Temp() + L"\\Pelorin-Uninstall-*").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) return 0;
        do {
            RemoveTree(JoinPath(Temp(), data.cFileName));
            ++count;
        } while (::FindNextFileW(search, &data));
        ::FindClose(search);
        return count;
    }

    // Installs the small release through the program's window.
    void InstallThroughTheWindow() {
        Program program(setup_, L"");
        ASSERT_TRUE(program.Started());
        const HWND window = WaitForWindow(WindowClass, program.Id());
        ASSERT_NE(window, nullptr);
        const HWND primary = ::GetDlgItem(window, 200);
        ASSERT_EQ(TextOf(primary), L"Установить Pelorin");
        Click(primary);
        ASSERT_TRUE(WaitForText(primary, L"Открыть Pelorin")) << "the install completes; button: " << TextOf(primary).size();
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        ASSERT_EQ(program.ExitCode(), 0u);
        ASSERT_TRUE(PathExists(JoinPath(InstallDirectory(), L"uninstall.exe")));
    }

    void InstallAndUninstallThroughTheInstalledUninstaller();

    std::wstring setup_;
};

TEST_F(SetupProgram, AnyOtherCommandLineGetsTheUsageMessageAndCode2) {
    const wchar_t* const commandLines[] = {
        L"--Uninstall", L"/uninstall", L"-uninstall", L"--uninstall extra", L"--uninstall-relocated --uninstall",
        L"--UNINSTALL-RELOCATED", L"install", L"\"\"",
    };
    for (const wchar_t* arguments : commandLines) {
        SCOPED_TRACE(std::string(arguments, arguments + std::wcslen(arguments)));
        Program program(setup_, arguments);
        ASSERT_TRUE(program.Started());
        const HWND box = WaitForWindow(L"#32770", program.Id());
        ASSERT_NE(box, nullptr) << "a message box";
        EXPECT_EQ(TextOf(box), L"Pelorin");
        EXPECT_EQ(BoxText(box),
                  L"Запустите установщик без параметров или используйте удаление Pelorin в настройках Windows.");
        EXPECT_EQ(::GetWindow(box, GW_OWNER), nullptr) << "no owner window";
        EXPECT_TRUE(TopWindows(WindowClass, program.Id()).empty());
        Click(::GetDlgItem(box, IDOK));
        EXPECT_EQ(program.ExitCode(), 2u);
    }
}

TEST_F(SetupProgram, TheAcceptedFormsOpenTheWindowOfTheirMode) {
    const struct {
        const wchar_t* arguments;
        const wchar_t* caption;
    } forms[] = {
        {L"", L"Установка Pelorin"},
        {L"--uninstall", L"Удаление Pelorin"},
        {L"--uninstall-relocated", L"Удаление Pelorin"},
    };
    RECT work{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    for (const auto& form : forms) {
        SCOPED_TRACE(std::string(form.arguments, form.arguments + std::wcslen(form.arguments)));
        Program program(setup_, form.arguments);
        ASSERT_TRUE(program.Started());
        const HWND window = WaitForWindow(WindowClass, program.Id());
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(TextOf(window), form.caption);
        RECT frame{}, client{};
        ::GetWindowRect(window, &frame);
        ::GetClientRect(window, &client);
        EXPECT_EQ(client.right, 640);
        EXPECT_EQ(client.bottom, 480);
        EXPECT_EQ(frame.left, work.left + ((work.right - work.left) - (frame.right - frame.left)) / 2) << "centred";
        EXPECT_EQ(frame.top, work.top + ((work.bottom - work.top) - (frame.bottom - frame.top)) / 2) << "centred";
        EXPECT_EQ(::GetWindowLongPtrW(window, GWL_STYLE) & 0x2CA0000, 0x2CA0000);
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(program.ExitCode(), 0u);
    }
}

// The prefix's display DPI (HKCU\Control Panel\Desktop, LogPixels) for the
// programs started while it lives; the old setting comes back afterwards.
class SystemDpi {
public:
    explicit SystemDpi(DWORD dpi) {
        DWORD size = sizeof(old_);
        had_ = ::RegGetValueW(HKEY_CURRENT_USER, Key, Value, RRF_RT_REG_DWORD, nullptr, &old_, &size) == ERROR_SUCCESS;
        set_ = ::RegSetKeyValueW(HKEY_CURRENT_USER, Key, Value, REG_DWORD, &dpi, sizeof(dpi)) == ERROR_SUCCESS;
    }
    ~SystemDpi() {
        if (had_) {
            ::RegSetKeyValueW(HKEY_CURRENT_USER, Key, Value, REG_DWORD, &old_, sizeof(old_));
        } else {
            ::RegDeleteKeyValueW(HKEY_CURRENT_USER, Key, Value);
        }
    }
    SystemDpi(const SystemDpi&) = delete;
    SystemDpi& operator=(const SystemDpi&) = delete;
    bool Set() const { return set_; }

private:
    static constexpr wchar_t Key[] = L"Control Panel\\Desktop";
    static constexpr wchar_t Value[] = L"LogPixels";
    DWORD old_ = 0;
    bool had_ = false;
    bool set_ = false;
};

TEST_F(SetupProgram, At144DpiEverythingIsOneAndAHalfTimesLarger) {
    const SystemDpi dpi(144);
    ASSERT_TRUE(dpi.Set());
    Program program(setup_, L"");
    ASSERT_TRUE(program.Started());
    const HWND window = WaitForWindow(WindowClass, program.Id());
    ASSERT_NE(window, nullptr);
    RECT client{};
    ::GetClientRect(window, &client);
    if (client.right == 640) {
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        GTEST_SKIP() << "this Wine reads the display DPI only when its server starts; the window came up at 96 DPI";
    }
    EXPECT_EQ(client.right, 960);
    EXPECT_EQ(client.bottom, 720);
    const struct {
        int id;
        int x, y, width, height;  // design units
    } buttons[] = {{200, 424, 430, 184, 40}, {201, 292, 430, 120, 40}, {202, 32, 355, 576, 26}};
    for (const auto& b : buttons) {
        RECT rect{};
        ::GetWindowRect(::GetDlgItem(window, b.id), &rect);
        ::MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&rect), 2);
        EXPECT_EQ(rect.left, ::MulDiv(b.x, 144, 96)) << b.id;
        EXPECT_EQ(rect.top, ::MulDiv(b.y, 144, 96)) << b.id;
        EXPECT_EQ(rect.right - rect.left, ::MulDiv(b.width, 144, 96)) << b.id;
        EXPECT_EQ(rect.bottom - rect.top, ::MulDiv(b.height, 144, 96)) << b.id;
    }
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.ExitCode(), 0u);
}

// Installs through the window, then runs the installed uninstaller as the
// list of installed programs does: it hands over to its relocated copy, whose
// window removes the installation.
void SetupProgram::InstallAndUninstallThroughTheInstalledUninstaller() {
    InstallThroughTheWindow();
    const std::wstring uninstaller = JoinPath(InstallDirectory(), L"uninstall.exe");
    EXPECT_EQ(ReadFileBytes(uninstaller), ReadFileBytes(setup_)) << "the install wrote this program";

    Program installed(uninstaller, L"--uninstall");
    ASSERT_TRUE(installed.Started());
    EXPECT_EQ(installed.ExitCode(), 0u);
    EXPECT_TRUE(TopWindows(WindowClass, installed.Id()).empty()) << "no window of its own";

    // The relocated copy shows the uninstall window.
    const HWND window = WaitForWindow(WindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(TextOf(window), L"Удаление Pelorin");
    DWORD copyId = 0;
    ::GetWindowThreadProcessId(window, &copyId);
    EXPECT_NE(copyId, installed.Id());
    const HWND primary = ::GetDlgItem(window, 200);
    EXPECT_EQ(TextOf(primary), L"Удалить приложение");
    Click(primary);
    ASSERT_TRUE(WaitForText(primary, L"Закрыть")) << "the uninstall completes";
    EXPECT_FALSE(PathExists(InstallDirectory()));
    const HANDLE copy = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, copyId);
    Click(primary);  // "Закрыть"
    if (copy != nullptr) {
        EXPECT_EQ(::WaitForSingleObject(copy, Patience), WAIT_OBJECT_0);
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(copy, &code);
        EXPECT_EQ(code, 0u);
        ::CloseHandle(copy);
    }
}

TEST_F(SetupProgram, TheInstalledUninstallerHandsOverAndTheCopyUninstalls) {
    InstallAndUninstallThroughTheInstalledUninstaller();
}

// The Authenticode signature of a PE file: the certificate table the data
// directory names, at the end of the file, holding PKCS #7 signed data.
bool CarriesASignature(const std::string& image) {
    auto read32 = [&image](std::size_t at) -> std::uint32_t {
        std::uint32_t value = 0;
        if (at + 4 <= image.size()) std::memcpy(&value, image.data() + at, 4);
        return value;
    };
    const std::uint32_t pe = read32(0x3C);
    if (image.size() < pe + 24 + 112 + 5 * 8 || read32(pe) != 0x00004550) return false;
    const std::size_t optional = pe + 24;
    if ((read32(optional) & 0xFFFF) != 0x20B) return false;  // PE32+
    const std::uint32_t offset = read32(optional + 112 + 4 * 8);  // the security directory
    const std::uint32_t size = read32(optional + 112 + 4 * 8 + 4);
    if (size < 8 || std::size_t{offset} + size != image.size()) return false;
    const std::uint32_t typeAndRevision = read32(offset + 4);
    return (typeAndRevision >> 16) == 2 /* WIN_CERT_TYPE_PKCS_SIGNED_DATA */;
}

TEST_F(SetupProgram, ASignedProgramInstallsAndItsInstalledCopyUninstalls) {
    const std::wstring unsignedProgram = setup_;
    setup_ = EnvironmentVariable(L"PELORIN_TEST_SIGNED_SETUP");
    ASSERT_FALSE(setup_.empty()) << "PELORIN_TEST_SIGNED_SETUP names the signed setup program";
    const std::string image = ReadFileBytes(setup_);
    ASSERT_TRUE(CarriesASignature(image)) << "the program carries an Authenticode signature";
    ASSERT_FALSE(CarriesASignature(ReadFileBytes(unsignedProgram)));
    InstallAndUninstallThroughTheInstalledUninstaller();
}

TEST_F(SetupProgram, AnUninstallerThatFailsItsCheckSaysSoAndEndsWithCode1) {
    InstallThroughTheWindow();
    // The installed uninstaller no longer matches the digest in the marker.
    const std::wstring uninstaller = JoinPath(InstallDirectory(), L"uninstall.exe");
    std::string bytes = ReadFileBytes(uninstaller);
    bytes.append("changed");
    ::SetFileAttributesW(uninstaller.c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteFileBytes(uninstaller, bytes);

    Program program(uninstaller, L"--uninstall");
    ASSERT_TRUE(program.Started());
    const HWND box = WaitForWindow(L"#32770", program.Id());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(TextOf(box), L"Удаление Pelorin");
    EXPECT_EQ(BoxText(box),
              L"Проверка файлов не пройдена. Если Pelorin уже установлен, удалите его через настройки Windows и "
              L"установите заново. Иначе скачайте установщик снова.");
    Click(::GetDlgItem(box, IDOK));
    EXPECT_EQ(program.ExitCode(), 1u);
    EXPECT_TRUE(TopWindows(WindowClass).empty());
}

// --- resources of the product -------------------------------------------------

class ProductResources : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring product = EnvironmentVariable(L"PELORIN_TEST_PRODUCT");
        ASSERT_FALSE(product.empty());
        module_ = ::LoadLibraryExW(product.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "the product loads as a data file";
    }
    void TearDown() override {
        if (module_ != nullptr) ::FreeLibrary(module_);
    }

    std::string Resource(LPCWSTR type, LPCWSTR name) {
        const HRSRC found = ::FindResourceW(module_, name, type);
        if (found == nullptr) return std::string();
        const HGLOBAL loaded = ::LoadResource(module_, found);
        const auto* data = static_cast<const char*>(::LockResource(loaded));
        return std::string(data, ::SizeofResource(module_, found));
    }

    HMODULE module_ = nullptr;
};

TEST_F(ProductResources, TheManifest) {
    const std::string manifest = Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(manifest.empty());
    const char* const required[] = {
        R"(name="Pelorin.Setup" version="0.5.0.0" processorArchitecture="amd64")",
        "<description>Pelorin Installer</description>",
        R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
        R"(level="asInvoker")",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
        ">true/pm</dpiAware>",
        ">PerMonitorV2</dpiAwareness>",
        ">true</longPathAware>",
    };
    for (const char* text : required) {
        EXPECT_NE(manifest.find(text), std::string::npos) << text;
    }
}

TEST_F(ProductResources, TheVersionStrings) {
    const std::string block = Resource(MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(block.empty());
    std::vector<char> copy(block.begin(), block.end());
    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {
        {L"CompanyName", L"Pelorin"},
        {L"FileDescription", L"Pelorin Installer"},
        {L"FileVersion", L"0.5.0"},
        {L"InternalName", L"Pelorin.Setup"},
        {L"OriginalFilename", L"Pelorin-Setup-0.5.0.exe"},
        {L"ProductName", L"Pelorin for Windows"},
        {L"ProductVersion", L"0.5.0"},
    };
    for (const auto& s : strings) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + s.name;
        ASSERT_TRUE(::VerQueryValueW(copy.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
            << "no " << std::string(path.begin(), path.end());
        EXPECT_EQ(std::wstring(value), s.value);
    }
}

TEST_F(ProductResources, TheIconGroupHasA256PixelPng) {
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colours, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
#pragma pack(pop)
    const std::string group = Resource(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(101));
    ASSERT_GE(group.size(), 6u);
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, 2);
    ASSERT_EQ(group.size(), 6u + count * sizeof(GroupEntry));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        GroupEntry entry{};
        std::memcpy(&entry, group.data() + 6 + i * sizeof(GroupEntry), sizeof(entry));
        const int size = entry.width == 0 ? 256 : entry.width;
        sizes.push_back(size);
        const std::string image = Resource(MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(entry.id));
        ASSERT_EQ(image.size(), entry.bytes);
        if (size == 256) {
            ASSERT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
            EXPECT_EQ(image.substr(12, 4), "IHDR");
            EXPECT_EQ(image.substr(16, 8), std::string("\0\0\1\0\0\0\1\0", 8)) << "256 x 256";
        }
    }
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), 256), sizes.end());
    for (const int small : {16, 32, 48}) {
        EXPECT_NE(std::find(sizes.begin(), sizes.end(), small), sizes.end()) << small;
    }
}

TEST_F(ProductResources, TheLicenceNoticesNameEveryLinkedLibrary) {
    const std::string notices = Resource(MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(301));
    ASSERT_FALSE(notices.empty());
    for (const char* library : {"miniz", "libstdc++", "libgcc", "winpthreads", "mingw-w64",
                                "Permission is hereby granted", "GCC RUNTIME LIBRARY EXCEPTION"}) {
        EXPECT_NE(notices.find(library), std::string::npos) << library;
    }
}

}  // namespace
}  // namespace pelorin::setup::testing
