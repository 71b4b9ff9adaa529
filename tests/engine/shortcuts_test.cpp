// Shortcuts: the link made by the shell's link object, and its replacement
// with a backup that is deleted on commit and moved back on rollback.
#include "engine/shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/install_tree.h"
#include "tests/support/system_call_fakes.h"
#include "tests/support/temp_folder.h"

namespace pelorin::setup {
namespace {

using testing::CallSpy;
using testing::CreateFileSignature;
using testing::FailureOf;
using testing::FakeAttributes;
using testing::OverrideCall;

using Arrangement = std::shared_ptr<void>;
using MoveSignature = BOOL(LPCWSTR, LPCWSTR, DWORD);
using CreateInstanceSignature = HRESULT(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
using CreateStreamSignature = HRESULT(HGLOBAL, BOOL, LPSTREAM*);

// Owns one reference, for the test's own COM calls.
template <typename T>
struct Held {
    T* pointer = nullptr;
    ~Held() {
        if (pointer != nullptr) pointer->Release();
    }
    T* operator->() const { return pointer; }
    void** Slot() { return reinterpret_cast<void**>(&pointer); }
};

// --- Reading a link back ----------------------------------------------------

struct LinkProperties {
    std::wstring path;
    std::wstring workingFolder;
    std::wstring description;
    std::wstring iconPath;
    int iconIndex = -1;
    std::wstring arguments;
    WORD hotkey = 0xffff;
    int showCommand = -1;
    bool operator==(const LinkProperties&) const = default;
};

void PrintTo(const LinkProperties& p, std::ostream* out) {
    *out << "{path " << ::testing::PrintToString(p.path) << ", folder " << ::testing::PrintToString(p.workingFolder)
         << ", description " << ::testing::PrintToString(p.description) << ", icon "
         << ::testing::PrintToString(p.iconPath) << "," << p.iconIndex << ", arguments "
         << ::testing::PrintToString(p.arguments) << ", hotkey " << p.hotkey << ", show " << p.showCommand << "}";
}

// What the shell's link object reads from `bytes` through IPersistStream.
LinkProperties ReadLink(const std::string& bytes) {
    LinkProperties p;
    const HRESULT apartment = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        Held<IShellLinkW> link;
        Held<IPersistStream> persist;
        Held<IStream> stream;
        EXPECT_EQ(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.Slot()),
                  S_OK);
        EXPECT_EQ(link->QueryInterface(IID_IPersistStream, persist.Slot()), S_OK);
        EXPECT_EQ(::CreateStreamOnHGlobal(nullptr, TRUE, &stream.pointer), S_OK);
        ULONG written = 0;
        EXPECT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
        EXPECT_EQ(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
        if (persist->Load(stream.pointer) == S_OK) {
            std::vector<wchar_t> text(32768);
            const int size = static_cast<int>(text.size());
            if (SUCCEEDED(link->GetPath(text.data(), size, nullptr, SLGP_RAWPATH))) p.path = text.data();
            text.assign(text.size(), 0);
            if (SUCCEEDED(link->GetWorkingDirectory(text.data(), size))) p.workingFolder = text.data();
            text.assign(text.size(), 0);
            if (SUCCEEDED(link->GetDescription(text.data(), size))) p.description = text.data();
            text.assign(text.size(), 0);
            if (SUCCEEDED(link->GetIconLocation(text.data(), size, &p.iconIndex))) p.iconPath = text.data();
            text.assign(text.size(), 0);
            if (SUCCEEDED(link->GetArguments(text.data(), size))) p.arguments = text.data();
            link->GetHotkey(&p.hotkey);
            link->GetShowCmd(&p.showCommand);
        }
    }
    if (SUCCEEDED(apartment)) ::CoUninitialize();
    return p;
}

LinkProperties Expected(const std::wstring& target) {
    return {target, ParentPath(target), L"Pelorin", target, 0, L"", 0, SW_SHOWNORMAL};
}

// --- Objects that fail one chosen step --------------------------------------

enum class Fault {
    None,
    SetPath,
    SetWorkingDirectory,
    SetDescription,
    SetIconLocation,
    PersistStream,
    Save,
    Stat,
    EmptyStream,
    FullStream,       // grown to 65536 bytes, the most that is accepted
    OversizedStream,  // grown to 65537 bytes
    Seek,
    Read,
    ShortRead,
};

struct FaultState {
    Fault fault = Fault::None;
    int live = 0;                  // wrappers handed out and not yet released
    std::vector<IID> asked;        // interfaces asked of the link object
    std::vector<std::string> odd;  // unexpected arguments seen
};

// The shell's link object, with one step made to fail.
class LinkWrapper final : public IShellLinkW, public IPersistStream {
public:
    LinkWrapper(IShellLinkW* real, FaultState& state) : real_(real), state_(state) {
        ++state_.live;
        real_->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist_));
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        state_.asked.push_back(iid);
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IShellLinkW) {
            *out = static_cast<IShellLinkW*>(this);
        } else if (iid == IID_IPersistStream && state_.fault != Fault::PersistStream) {
            *out = static_cast<IPersistStream*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            if (persist_ != nullptr) persist_->Release();
            real_->Release();
            --state_.live;
            delete this;
        }
        return left;
    }

    // IShellLinkW
    HRESULT STDMETHODCALLTYPE GetPath(LPWSTR file, int cch, WIN32_FIND_DATAW* data, DWORD flags) override {
        return real_->GetPath(file, cch, data, flags);
    }
    HRESULT STDMETHODCALLTYPE GetIDList(PIDLIST_ABSOLUTE* list) override { return real_->GetIDList(list); }
    HRESULT STDMETHODCALLTYPE SetIDList(PCIDLIST_ABSOLUTE list) override { return real_->SetIDList(list); }
    HRESULT STDMETHODCALLTYPE GetDescription(LPWSTR name, int cch) override { return real_->GetDescription(name, cch); }
    HRESULT STDMETHODCALLTYPE SetDescription(LPCWSTR name) override {
        return Step(Fault::SetDescription, [&] { return real_->SetDescription(name); });
    }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR dir, int cch) override {
        return real_->GetWorkingDirectory(dir, cch);
    }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR dir) override {
        return Step(Fault::SetWorkingDirectory, [&] { return real_->SetWorkingDirectory(dir); });
    }
    HRESULT STDMETHODCALLTYPE GetArguments(LPWSTR args, int cch) override { return real_->GetArguments(args, cch); }
    HRESULT STDMETHODCALLTYPE SetArguments(LPCWSTR args) override { return real_->SetArguments(args); }
    HRESULT STDMETHODCALLTYPE GetHotkey(WORD* key) override { return real_->GetHotkey(key); }
    HRESULT STDMETHODCALLTYPE SetHotkey(WORD key) override { return real_->SetHotkey(key); }
    HRESULT STDMETHODCALLTYPE GetShowCmd(int* show) override { return real_->GetShowCmd(show); }
    HRESULT STDMETHODCALLTYPE SetShowCmd(int show) override { return real_->SetShowCmd(show); }
    HRESULT STDMETHODCALLTYPE GetIconLocation(LPWSTR path, int cch, int* index) override {
        return real_->GetIconLocation(path, cch, index);
    }
    HRESULT STDMETHODCALLTYPE SetIconLocation(LPCWSTR path, int index) override {
        return Step(Fault::SetIconLocation, [&] { return real_->SetIconLocation(path, index); });
    }
    HRESULT STDMETHODCALLTYPE SetRelativePath(LPCWSTR path, DWORD reserved) override {
        return real_->SetRelativePath(path, reserved);
    }
    HRESULT STDMETHODCALLTYPE Resolve(HWND window, DWORD flags) override { return real_->Resolve(window, flags); }
    HRESULT STDMETHODCALLTYPE SetPath(LPCWSTR file) override {
        return Step(Fault::SetPath, [&] { return real_->SetPath(file); });
    }

    // IPersistStream
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override { return persist_->GetClassID(id); }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return persist_->IsDirty(); }
    HRESULT STDMETHODCALLTYPE Load(IStream* stream) override { return persist_->Load(stream); }
    HRESULT STDMETHODCALLTYPE Save(IStream* stream, WINBOOL clearDirty) override {
        if (!clearDirty) state_.odd.push_back("Save without clearing the dirty flag");
        return Step(Fault::Save, [&] { return persist_->Save(stream, clearDirty); });
    }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override { return persist_->GetSizeMax(size); }

private:
    ~LinkWrapper() = default;
    template <typename Call>
    HRESULT Step(Fault step, Call call) {
        return state_.fault == step ? E_FAIL : call();
    }

    IShellLinkW* real_;
    IPersistStream* persist_ = nullptr;
    FaultState& state_;
    ULONG references_ = 1;
};

// An in-memory stream, with one step made to fail or to report a wrong size.
class StreamWrapper final : public IStream {
public:
    StreamWrapper(IStream* real, FaultState& state) : real_(real), state_(state) { ++state_.live; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
            *out = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            real_->Release();
            --state_.live;
            delete this;
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
        if (state_.fault == Fault::Read) return STG_E_READFAULT;
        const HRESULT result = real_->Read(buffer, size, read);
        if (state_.fault == Fault::ShortRead && read != nullptr && *read > 0) --*read;
        return result;
    }
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG size, ULONG* written) override {
        return real_->Write(buffer, size, written);
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
        if (state_.fault == Fault::Seek) return STG_E_INVALIDFUNCTION;
        return real_->Seek(move, origin, position);
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override { return real_->SetSize(size); }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* to, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override {
        return real_->CopyTo(to, size, read, written);
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override { return real_->Commit(flags); }
    HRESULT STDMETHODCALLTYPE Revert() override { return real_->Revert(); }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override {
        return real_->LockRegion(offset, size, type);
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override {
        return real_->UnlockRegion(offset, size, type);
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* status, DWORD flags) override {
        if (state_.fault == Fault::Stat) return STG_E_ACCESSDENIED;
        if (state_.fault == Fault::FullStream || state_.fault == Fault::OversizedStream) {
            ULARGE_INTEGER size{};
            size.QuadPart = state_.fault == Fault::FullStream ? 65536 : 65537;
            real_->SetSize(size);
        }
        const HRESULT result = real_->Stat(status, flags);
        if (state_.fault == Fault::EmptyStream) status->cbSize.QuadPart = 0;
        return result;
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream** copy) override { return real_->Clone(copy); }

private:
    ~StreamWrapper() = default;
    IStream* real_;
    FaultState& state_;
    ULONG references_ = 1;
};

// Hands out the wrappers from the table's COM entries and checks what the
// engine asks for.
class FaultyComObjects {
public:
    explicit FaultyComObjects(Fault fault) { state.fault = fault; }

    FaultState state;

private:
    OverrideCall<CreateInstanceSignature> create_{
        SystemCalls().CoCreateInstance, [this](REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, void** out) {
            if (clsid != CLSID_ShellLink || outer != nullptr || context != CLSCTX_INPROC_SERVER ||
                iid != IID_IShellLinkW) {
                state.odd.push_back("CoCreateInstance arguments");
            }
            IShellLinkW* real = nullptr;
            const HRESULT result = create_.Original()(clsid, outer, context, iid, reinterpret_cast<void**>(&real));
            *out = SUCCEEDED(result) ? static_cast<IShellLinkW*>(new LinkWrapper(real, state)) : nullptr;
            return result;
        }};
    OverrideCall<CreateStreamSignature> stream_{
        SystemCalls().CreateStreamOnHGlobal, [this](HGLOBAL memory, BOOL deleteOnRelease, LPSTREAM* out) {
            if (memory != nullptr || !deleteOnRelease) state.odd.push_back("CreateStreamOnHGlobal arguments");
            IStream* real = nullptr;
            const HRESULT result = stream_.Original()(memory, deleteOnRelease, &real);
            *out = SUCCEEDED(result) ? new StreamWrapper(real, state) : nullptr;
            return result;
        }};
};

// --- Fixture ----------------------------------------------------------------

std::vector<std::wstring> Listing(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileW((L"\\\\?\\" + folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::wstring> Temporaries(const std::wstring& folder) {
    std::vector<std::wstring> names = Listing(folder);
    std::erase_if(names, [](const std::wstring& name) { return !name.starts_with(L".pelorin-"); });
    return names;
}

std::vector<std::wstring> With(std::vector<std::wstring> names, const std::wstring& name) {
    names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

// Every test starts and ends without "Pelorin.lnk" in the Start menu and on
// the desktop. The shortcuts point at a stand-in executable in a temporary
// folder whose name has a space.
class Shortcuts : public ::testing::Test {
protected:
    void SetUp() override {
        testing::CreateFolders(ParentPath(target));
        testing::WriteTestFile(target, "MZ stand-in");
        testing::CreateFolders(ParentPath(elsewhere));
        testing::WriteTestFile(elsewhere, "MZ another");
        Clean();
    }
    void TearDown() override { Clean(); }
    void Clean() {
        for (const std::wstring& path : {startMenu, desktop}) {
            testing::RemoveTree(path);
            for (const std::wstring& name : Temporaries(ParentPath(path))) {
                testing::RemoveTree(JoinPath(ParentPath(path), name));
            }
        }
    }
    // A shortcut that some earlier program put there.
    std::string EarlierShortcut(const std::wstring& path) {
        const std::vector<std::uint8_t> bytes = BuildShortcutBytes(elsewhere);
        std::string content(bytes.begin(), bytes.end());
        testing::WriteTestFile(path, content);
        return content;
    }

    testing::TempFolder temp;
    const std::wstring target = temp.Path(L"App Folder\\Pelorin.exe");
    const std::wstring elsewhere = temp.Path(L"Other\\Pelorin.exe");
    const std::wstring startMenu = StartMenuShortcutPath();
    const std::wstring desktop = DesktopShortcutPath();
};

// --- The link ---------------------------------------------------------------

TEST_F(Shortcuts, LinkNamesTargetFolderDescriptionAndIcon) {
    CallSpy<HRESULT(LPVOID, DWORD)> enter(SystemCalls().CoInitializeEx);
    CallSpy<void()> leave(SystemCalls().CoUninitialize);
    std::vector<DWORD> models;
    enter.OnCall([&](LPVOID, DWORD model) { models.push_back(model); });
    std::vector<std::uint8_t> bytes;
    {
        FaultyComObjects objects(Fault::None);
        bytes = BuildShortcutBytes(target);
        EXPECT_EQ(objects.state.live, 0) << "a COM object was not released";
        EXPECT_TRUE(objects.state.odd.empty()) << ::testing::PrintToString(objects.state.odd);
        // Saved through IPersistStream only, never through IPersistFile.
        EXPECT_EQ(objects.state.asked, std::vector<IID>{IID_IPersistStream});
    }
    EXPECT_EQ(models, std::vector<DWORD>{COINIT_APARTMENTTHREADED});
    EXPECT_EQ(leave.Calls(), 1);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_LE(bytes.size(), 65536u);
    EXPECT_EQ(bytes[0], 0x4C) << "not a shell link header";
    EXPECT_EQ(ReadLink(std::string(bytes.begin(), bytes.end())), Expected(target));
}

TEST_F(Shortcuts, LinkFailures) {
    const struct {
        const char* what;
        std::function<Arrangement()> arrange;
        bool apartmentEntered;
    } cases[] = {
        {"apartment refused",
         [] {
             auto spy = std::make_shared<CallSpy<HRESULT(LPVOID, DWORD)>>(SystemCalls().CoInitializeEx);
             spy->FailCall(1, RPC_E_CHANGED_MODE);
             return spy;
         },
         false},
        {"no link object",
         [] {
             auto spy = std::make_shared<CallSpy<CreateInstanceSignature>>(SystemCalls().CoCreateInstance);
             spy->FailCall(1, REGDB_E_CLASSNOTREG);
             return spy;
         },
         true},
        {"no stream",
         [] {
             auto spy = std::make_shared<CallSpy<CreateStreamSignature>>(SystemCalls().CreateStreamOnHGlobal);
             spy->FailCall(1, E_OUTOFMEMORY);
             return spy;
         },
         true},
        {"SetPath", [] { return std::make_shared<FaultyComObjects>(Fault::SetPath); }, true},
        {"SetWorkingDirectory", [] { return std::make_shared<FaultyComObjects>(Fault::SetWorkingDirectory); }, true},
        {"SetDescription", [] { return std::make_shared<FaultyComObjects>(Fault::SetDescription); }, true},
        {"SetIconLocation", [] { return std::make_shared<FaultyComObjects>(Fault::SetIconLocation); }, true},
        {"no IPersistStream", [] { return std::make_shared<FaultyComObjects>(Fault::PersistStream); }, true},
        {"Save", [] { return std::make_shared<FaultyComObjects>(Fault::Save); }, true},
        {"Stat", [] { return std::make_shared<FaultyComObjects>(Fault::Stat); }, true},
        {"empty stream", [] { return std::make_shared<FaultyComObjects>(Fault::EmptyStream); }, true},
        {"Seek", [] { return std::make_shared<FaultyComObjects>(Fault::Seek); }, true},
        {"Read", [] { return std::make_shared<FaultyComObjects>(Fault::Read); }, true},
        {"short read", [] { return std::make_shared<FaultyComObjects>(Fault::ShortRead); }, true},
    };
    for (const auto& c : cases) {
        CallSpy<void()> leave(SystemCalls().CoUninitialize);
        // Wraps the real objects underneath whatever the case stacks on top,
        // so it sees every object handed out.
        const FaultyComObjects watched(Fault::None);
        {
            const Arrangement arrangement = c.arrange();
            EXPECT_EQ(FailureOf([&] { BuildShortcutBytes(target); }), FailureCode::RegistrationFailed) << c.what;
        }
        EXPECT_EQ(watched.state.live, 0) << c.what << ": a COM object was not released";
        EXPECT_EQ(leave.Calls(), c.apartmentEntered ? 1 : 0) << c.what;
    }
}

TEST_F(Shortcuts, LinkOfAtMost64KiB) {
    {
        const FaultyComObjects objects(Fault::FullStream);
        EXPECT_EQ(BuildShortcutBytes(target).size(), 65536u);
    }
    {
        const FaultyComObjects objects(Fault::OversizedStream);
        EXPECT_EQ(FailureOf([&] { BuildShortcutBytes(target); }), FailureCode::RegistrationFailed);
        EXPECT_EQ(objects.state.live, 0);
    }
}

// --- Installing a shortcut --------------------------------------------------

TEST_F(Shortcuts, PrepareHoldsTheFolderAndPicksTwoFreshNames) {
    const std::wstring path = temp.Path(L"new folder\\deeper\\Pelorin.lnk");
    const auto update = PrepareShortcutUpdate(path);
    const std::wstring folder = ParentPath(path);
    EXPECT_TRUE(update->folderPins.Contains(folder));
    EXPECT_EQ(update->replacement.targetPath, path);
    const struct {
        const std::wstring& path;
        std::wstring prefix;
    } names[] = {{update->replacement.backupPath, folder + L"\\.pelorin-backup-"},
                 {update->replacement.newPath, folder + L"\\.pelorin-new-"}};
    for (const auto& n : names) {
        ASSERT_TRUE(n.path.starts_with(n.prefix)) << ::testing::PrintToString(n.path);
        ASSERT_TRUE(n.path.ends_with(L".lnk"));
        const std::wstring hex = n.path.substr(n.prefix.size(), n.path.size() - n.prefix.size() - 4);
        EXPECT_EQ(hex.size(), 32u);
        EXPECT_EQ(hex.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
    }
    EXPECT_NE(update->replacement.backupPath.substr(folder.size() + 17),
              update->replacement.newPath.substr(folder.size() + 14));
    EXPECT_FALSE(update->committed || update->replacement.backedUp || update->replacement.replaced);
}

TEST_F(Shortcuts, ANewShortcutIsTheOnlyNewFile) {
    for (const std::wstring& path : {startMenu, desktop, temp.Path(L"new folder\\deeper\\Pelorin.lnk")}) {
        SCOPED_TRACE(::testing::PrintToString(path));
        const std::wstring folder = ParentPath(path);
        const std::vector<std::wstring> before = Listing(folder);
        // A second run over the first leaves one shortcut, not two.
        for (int run = 1; run <= 2; ++run) {
            auto update = InstallShortcut(path, target);
            CommitShortcutUpdate(*update);
            update.reset();
            EXPECT_EQ(Listing(folder), With(before, L"Pelorin.lnk"));
            EXPECT_EQ(ReadLink(testing::ReadTestFile(path)), Expected(target));
        }
    }
}

TEST_F(Shortcuts, TheEarlierShortcutIsKeptUntilCommit) {
    const struct {
        bool earlier;
        bool commit;
    } cases[] = {{true, true}, {true, false}, {false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.earlier ? "earlier shortcut, " : "no earlier shortcut, ") +
                     (c.commit ? "committed" : "rolled back"));
        Clean();
        const std::wstring folder = ParentPath(startMenu);
        const std::string earlier = c.earlier ? EarlierShortcut(startMenu) : std::string();
        const std::vector<std::wstring> before = Listing(folder);
        {
            auto update = InstallShortcut(startMenu, target);
            EXPECT_EQ(ReadLink(testing::ReadTestFile(startMenu)), Expected(target));
            EXPECT_EQ(update->replacement.backedUp, c.earlier);
            if (c.earlier) {
                EXPECT_EQ(testing::ReadTestFile(update->replacement.backupPath), earlier);
            }
            if (c.commit) {
                CommitShortcutUpdate(*update);
            }
        }
        EXPECT_TRUE(Temporaries(folder).empty()) << ::testing::PrintToString(Temporaries(folder));
        if (c.commit) {
            EXPECT_EQ(ReadLink(testing::ReadTestFile(startMenu)), Expected(target));
        } else if (c.earlier) {
            EXPECT_EQ(testing::ReadTestFile(startMenu), earlier);  // byte for byte
        }
        EXPECT_EQ(Listing(folder), before);
    }
}

TEST_F(Shortcuts, AFailedInstallPutsEverythingBackBeforeItReturns) {
    const struct {
        const char* what;
        std::function<Arrangement(CallSpy<MoveSignature>&)> arrange;
        FailureCode expected;
        bool needsEarlier;
    } cases[] = {
        {"link object refused",
         [](auto&) {
             auto spy = std::make_shared<CallSpy<CreateInstanceSignature>>(SystemCalls().CoCreateInstance);
             spy->FailCall(1, E_OUTOFMEMORY);
             return spy;
         },
         FailureCode::RegistrationFailed, false},
        {"disk full",
         [](auto&) {
             auto spy = std::make_shared<CallSpy<BOOL(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)>>(
                 SystemCalls().WriteFile);
             spy->FailCall(1, FALSE, ERROR_DISK_FULL);
             return spy;
         },
         FailureCode::WriteFailed, false},
        {"flush refused",
         [](auto&) {
             auto spy = std::make_shared<CallSpy<BOOL(HANDLE)>>(SystemCalls().FlushFileBuffers);
             spy->FailCall(1, FALSE, ERROR_IO_DEVICE);
             return spy;
         },
         FailureCode::RegistrationFailed, false},
        {"first move refused",
         [](CallSpy<MoveSignature>& move) {
             move.FailCall(1, FALSE, ERROR_ACCESS_DENIED);
             return nullptr;
         },
         FailureCode::RegistrationFailed, false},
        {"move of the new shortcut refused after the backup",
         [](CallSpy<MoveSignature>& move) {
             move.FailCall(2, FALSE, ERROR_ACCESS_DENIED);
             return nullptr;
         },
         FailureCode::RegistrationFailed, true},
    };
    const std::wstring folder = ParentPath(startMenu);
    for (const bool withEarlier : {false, true}) {
        for (const auto& c : cases) {
            if (c.needsEarlier && !withEarlier) continue;
            SCOPED_TRACE(std::string(c.what) + (withEarlier ? " over an earlier shortcut" : ""));
            Clean();
            const std::string earlier = withEarlier ? EarlierShortcut(startMenu) : std::string();
            const std::vector<std::wstring> before = Listing(folder);
            {
                CallSpy<MoveSignature> move(SystemCalls().MoveFileExW);
                const Arrangement arrangement = c.arrange(move);
                EXPECT_EQ(FailureOf([&] { InstallShortcut(startMenu, target); }), c.expected);
            }
            EXPECT_EQ(Listing(folder), before);
            if (withEarlier) {
                EXPECT_EQ(testing::ReadTestFile(startMenu), earlier);
            }
        }
    }
}

TEST_F(Shortcuts, SomethingOtherThanAFileNamedLikeTheShortcutIsRefused) {
    for (const std::wstring& path : {startMenu, desktop}) {
        const std::wstring folder = ParentPath(path);
        SCOPED_TRACE(::testing::PrintToString(path));
        {
            Clean();
            testing::MakeFolder(path);
            testing::WriteTestFile(JoinPath(path, L"inside.txt"), "kept");
            EXPECT_EQ(FailureOf([&] { InstallShortcut(path, target); }), FailureCode::RegistrationFailed);
            EXPECT_TRUE(testing::IsFolder(path));
            EXPECT_EQ(testing::ReadTestFile(JoinPath(path, L"inside.txt")), "kept");
            EXPECT_TRUE(Temporaries(folder).empty());
        }
        {
            Clean();
            testing::WriteTestFile(path, "a link elsewhere");
            const FakeAttributes link(path, FILE_ATTRIBUTE_REPARSE_POINT);
            EXPECT_EQ(FailureOf([&] { InstallShortcut(path, target); }), FailureCode::InstallFolderRejected);
            EXPECT_EQ(testing::ReadTestFile(path), "a link elsewhere");
            EXPECT_TRUE(Temporaries(folder).empty());
        }
    }
}

// The rollback deletes only the temporary file this update created: one that
// was already there under the name the random source picked stays as it was,
// and one that this update created is removed even when its check failed.
TEST_F(Shortcuts, TheRollbackDeletesOnlyTheTemporaryFileItCreated) {
    const std::wstring folder = ParentPath(startMenu);
    // The random source is fixed, so the temporary names are known before.
    CallSpy<NTSTATUS(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG)> random(SystemCalls().BCryptGenRandom);
    random.FailWhen(
        [](BCRYPT_ALG_HANDLE, PUCHAR bytes, ULONG count, ULONG) {
            std::fill_n(bytes, count, UCHAR{0xab});
            return true;
        },
        0);
    std::wstring hex;
    for (int i = 0; i < 16; ++i) hex += L"ab";
    const std::wstring newName = L".pelorin-new-" + hex + L".lnk";
    {
        SCOPED_TRACE("a file of the temporary name was there before");
        const std::string earlier = EarlierShortcut(startMenu);
        testing::WriteTestFile(JoinPath(folder, newName), "someone else's");
        EXPECT_EQ(FailureOf([&] { InstallShortcut(startMenu, target); }), FailureCode::WriteFailed);
        ASSERT_TRUE(testing::Exists(JoinPath(folder, newName))) << "a file this update did not create was deleted";
        EXPECT_EQ(testing::ReadTestFile(JoinPath(folder, newName)), "someone else's");
        EXPECT_EQ(testing::ReadTestFile(startMenu), earlier);
        EXPECT_EQ(Temporaries(folder), std::vector<std::wstring>{newName});
    }
    {
        SCOPED_TRACE("the check of the new temporary file fails");
        Clean();
        const std::string earlier = EarlierShortcut(startMenu);
        const std::vector<std::wstring> before = Listing(folder);
        const testing::FailCheckOfNewFile failing(JoinPath(folder, newName));
        EXPECT_EQ(FailureOf([&] { InstallShortcut(startMenu, target); }), FailureCode::InstallFolderRejected);
        EXPECT_EQ(failing.Failed(), 1);
        EXPECT_EQ(Listing(folder), before);
        EXPECT_EQ(testing::ReadTestFile(startMenu), earlier);
    }
}

// A clean-up step that the system refuses ends quietly and loses nothing:
// the shortcut and its backup stay where they are.
TEST_F(Shortcuts, ARefusedCleanUpStaysQuiet) {
    const std::wstring folder = ParentPath(startMenu);
    {
        SCOPED_TRACE("rollback while another program holds the new shortcut");
        const std::string earlier = EarlierShortcut(startMenu);
        std::wstring backup;
        {
            auto update = InstallShortcut(startMenu, target);
            backup = update->replacement.backupPath;
            const testing::TestHandle held = testing::HoldOpen(startMenu, GENERIC_READ, FILE_SHARE_READ);
            ASSERT_TRUE(held.IsValid());
            update.reset();
        }
        EXPECT_EQ(ReadLink(testing::ReadTestFile(startMenu)), Expected(target));
        EXPECT_EQ(testing::ReadTestFile(backup), earlier);
    }
    {
        SCOPED_TRACE("commit while the backup cannot be deleted");
        Clean();
        const std::string earlier = EarlierShortcut(startMenu);
        auto update = InstallShortcut(startMenu, target);
        {
            CallSpy<CreateFileSignature> open(SystemCalls().CreateFileW);
            const auto backupOpens = [](LPCWSTR name, auto&&...) {
                return std::wstring(name).find(L".pelorin-backup-") != std::wstring::npos;
            };
            open.FailWhen(backupOpens, INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
            CommitShortcutUpdate(*update);
        }
        EXPECT_TRUE(update->committed);
        update.reset();
        EXPECT_EQ(ReadLink(testing::ReadTestFile(startMenu)), Expected(target));
        const std::vector<std::wstring> left = Temporaries(folder);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_TRUE(left[0].starts_with(L".pelorin-backup-"));
        EXPECT_EQ(testing::ReadTestFile(JoinPath(folder, left[0])), earlier);
    }
}

}  // namespace
}  // namespace pelorin::setup
