#include "platform/files.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/system_calls.h"
#include "tests/support/failure_of.h"
#include "tests/support/system_call_fakes.h"
#include "tests/support/temp_folder.h"

namespace pelorin::setup {
namespace {

using testing::CallSpy;
using testing::CngLedger;
using testing::CreateFileCall;
using testing::CreateFileRecorder;
using testing::CreateFileSignature;
using testing::Exists;
using testing::FailureOf;
using testing::FakeAttributes;
using testing::FileInformationSignature;
using testing::HandleLedger;
using testing::HoldOpen;
using testing::IsFolder;
using testing::LongForm;
using testing::MakeFolder;
using testing::MakeZeroFile;
using testing::OpensOf;
using testing::PatternBytes;
using testing::ReadTestFile;
using testing::SetReadOnly;
using testing::TempFolder;
using testing::WriteTestFile;

using ReadSignature = BOOL(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
using WriteSignature = BOOL(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using MoveSignature = BOOL(LPCWSTR, LPCWSTR, DWORD);

// Whatever a case needs alive while it runs: held handles, fakes, spies.
using Arrangement = std::shared_ptr<void>;

constexpr char EmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char AbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char Pattern200000Digest[] = "4d4bc6bb859f4c9349a60558229ca6e9f12eb0c3fe87e1e23c6761dfd817496f";
constexpr char Pattern196613Digest[] = "00891096fdbacc3d4c5870c7229830e78e07c5930c57b5c91475e4552824891b";
// 268435456 zero bytes.
constexpr char Zero256MiBDigest[] = "a6d72ac7690f53be6ae46ba88506bd97302a093f7108472bd9efc3cefda06484";

class FilesTest : public ::testing::Test {
protected:
    // An open handle through the table, as production code holds one.
    static ScopedHandle OpenRaw(const std::wstring& path, DWORD access, DWORD share, DWORD flags) {
        return ScopedHandle(SystemCalls().CreateFileW(LongForm(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                                      flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    }

    // Every folder from the drive root down to `path`, as pinning visits them.
    static std::vector<std::wstring> Chain(const std::wstring& path) {
        std::vector<std::wstring> chain{path.substr(0, 3)};
        for (std::size_t i = 3; i < path.size(); ++i) {
            if (path[i] == L'\\') chain.push_back(path.substr(0, i));
        }
        chain.push_back(path);
        return chain;
    }

    TempFolder temp;
};

// --- CheckHandleKind --------------------------------------------------------

TEST_F(FilesTest, CheckHandleKindAcceptsOnlyThePlainExpectedKind) {
    WriteTestFile(temp.Path(L"file"), "x");
    WriteTestFile(temp.Path(L"linked"), "x");
    ASSERT_TRUE(::CreateHardLinkW(temp.Path(L"second-name").c_str(), temp.Path(L"linked").c_str(), nullptr));
    MakeFolder(temp.Path(L"folder"));

    const struct {
        const wchar_t* name;
        DWORD flags;
        bool expectDirectory;
        FailureCode expected;
    } cases[] = {
        {L"file", 0, false, FailureCode::None},
        {L"file", 0, true, FailureCode::InstallFolderRejected},
        {L"folder", FILE_FLAG_BACKUP_SEMANTICS, true, FailureCode::None},
        {L"folder", FILE_FLAG_BACKUP_SEMANTICS, false, FailureCode::InstallFolderRejected},
        {L"linked", 0, false, FailureCode::InstallFolderRejected},  // a second hard link
    };
    for (const auto& c : cases) {
        const ScopedHandle handle = OpenRaw(temp.Path(c.name), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, c.flags);
        ASSERT_TRUE(handle.IsValid());
        EXPECT_EQ(FailureOf([&] { CheckHandleKind(handle.Get(), c.expectDirectory); }), c.expected)
            << c.name << " as " << (c.expectDirectory ? "folder" : "file");
    }
}

TEST_F(FilesTest, CheckHandleKindRefusesReparsePointsAndUnanswerableHandles) {
    WriteTestFile(temp.Path(L"link"), "x");
    MakeFolder(temp.Path(L"junction"));
    {
        FakeAttributes fileLink(temp.Path(L"link"), FILE_ATTRIBUTE_REPARSE_POINT);
        FakeAttributes junction(temp.Path(L"junction"), FILE_ATTRIBUTE_REPARSE_POINT);
        const ScopedHandle file = OpenRaw(temp.Path(L"link"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, 0);
        const ScopedHandle folder =
            OpenRaw(temp.Path(L"junction"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_FLAG_BACKUP_SEMANTICS);
        EXPECT_EQ(FailureOf([&] { CheckHandleKind(file.Get(), false); }), FailureCode::InstallFolderRejected);
        EXPECT_EQ(FailureOf([&] { CheckHandleKind(folder.Get(), true); }), FailureCode::InstallFolderRejected);
    }
    // Either of the two queries failing.
    for (const int failing : {1, 2}) {
        const ScopedHandle file = OpenRaw(temp.Path(L"link"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, 0);
        CallSpy<FileInformationSignature> information(SystemCalls().GetFileInformationByHandleEx);
        information.FailCall(failing, FALSE, ERROR_INVALID_FUNCTION);
        EXPECT_EQ(FailureOf([&] { CheckHandleKind(file.Get(), false); }), FailureCode::InstallFolderRejected);
    }
}

// --- OpenFileChecked --------------------------------------------------------

TEST_F(FilesTest, OpenFileCheckedAddsAttributeAccessAndNeverFollowsLinks) {
    WriteTestFile(temp.Path(L"a.txt"), "abc");
    CreateFileRecorder recorder;
    {
        const ScopedHandle file = OpenFileChecked(temp.Path(L"a.txt"), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        EXPECT_TRUE(file.IsValid());
        const ScopedHandle created = OpenFileChecked(temp.Path(L"new.bin"), GENERIC_WRITE, CREATE_NEW, 0);
        EXPECT_TRUE(created.IsValid());
    }
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_EQ(recorder.calls[0].path, LongForm(temp.Path(L"a.txt")));
    EXPECT_EQ(recorder.calls[0].access, static_cast<DWORD>(GENERIC_READ | FILE_READ_ATTRIBUTES));
    EXPECT_EQ(recorder.calls[0].share, static_cast<DWORD>(FILE_SHARE_READ));
    EXPECT_EQ(recorder.calls[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(recorder.calls[0].flags, static_cast<DWORD>(FILE_FLAG_OPEN_REPARSE_POINT));
    EXPECT_EQ(recorder.calls[1].access, static_cast<DWORD>(GENERIC_WRITE | FILE_READ_ATTRIBUTES));
    EXPECT_EQ(recorder.calls[1].share, 0u);
    EXPECT_EQ(recorder.calls[1].disposition, static_cast<DWORD>(CREATE_NEW));
    EXPECT_EQ(ReadTestFile(temp.Path(L"new.bin")), "");
}

TEST_F(FilesTest, OpenFileCheckedRefusals) {
    WriteTestFile(temp.Path(L"plain"), "keep");
    WriteTestFile(temp.Path(L"linked"), "x");
    ASSERT_TRUE(::CreateHardLinkW(temp.Path(L"linked-2").c_str(), temp.Path(L"linked").c_str(), nullptr));
    MakeFolder(temp.Path(L"folder"));
    const std::wstring plain = temp.Path(L"plain");

    const struct {
        const char* what;
        std::wstring path;
        DWORD access;
        DWORD disposition;
        std::function<Arrangement()> arrange;
        FailureCode expected;
    } cases[] = {
        {"missing file", temp.Path(L"absent"), GENERIC_READ, OPEN_EXISTING, nullptr,
         FailureCode::InstallationNotFound},
        {"missing folder", temp.Path(L"absent\\x"), GENERIC_READ, OPEN_EXISTING, nullptr,
         FailureCode::InstallationNotFound},
        {"held without sharing", plain, GENERIC_READ, OPEN_EXISTING,
         [&] { return std::make_shared<testing::TestHandle>(HoldOpen(plain, GENERIC_READ, 0)); },
         FailureCode::AppRunning},
        {"being written elsewhere", plain, GENERIC_READ, OPEN_EXISTING,
         [&] {
             return std::make_shared<testing::TestHandle>(
                 HoldOpen(plain, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
         },
         FailureCode::AppRunning},
        {"lock violation", plain, GENERIC_READ, OPEN_EXISTING,
         [] {
             auto spy = std::make_shared<CallSpy<CreateFileSignature>>(SystemCalls().CreateFileW);
             spy->FailCall(1, INVALID_HANDLE_VALUE, ERROR_LOCK_VIOLATION);
             return spy;
         },
         FailureCode::AppRunning},
        {"access denied", plain, GENERIC_READ, OPEN_EXISTING,
         [] {
             auto spy = std::make_shared<CallSpy<CreateFileSignature>>(SystemCalls().CreateFileW);
             spy->FailCall(1, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
             return spy;
         },
         FailureCode::WriteFailed},
        {"a folder", temp.Path(L"folder"), GENERIC_READ, OPEN_EXISTING, nullptr, FailureCode::WriteFailed},
        {"create over an existing file", plain, GENERIC_WRITE, CREATE_NEW, nullptr, FailureCode::WriteFailed},
        {"second hard link", temp.Path(L"linked"), GENERIC_READ, OPEN_EXISTING, nullptr,
         FailureCode::InstallFolderRejected},
        {"symbolic link", plain, GENERIC_READ, OPEN_EXISTING,
         [&] { return std::make_shared<FakeAttributes>(plain, FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected},
        {"refused path", temp.Path(L"a\\..\\plain"), GENERIC_READ, OPEN_EXISTING, nullptr,
         FailureCode::InstallFolderRejected},
    };
    for (const auto& c : cases) {
        HandleLedger ledger;
        CreateFileRecorder recorder;
        {
            const Arrangement arrangement = c.arrange ? c.arrange() : nullptr;
            EXPECT_EQ(FailureOf([&] { OpenFileChecked(c.path, c.access, c.disposition, FILE_SHARE_READ); }),
                      c.expected)
                << c.what;
        }
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
        if (c.expected == FailureCode::InstallFolderRejected && c.path.find(L"..") != std::wstring::npos) {
            EXPECT_TRUE(recorder.calls.empty()) << c.what;
        }
    }
    EXPECT_EQ(ReadTestFile(plain), "keep");
}

// --- PinDirectoryChain ------------------------------------------------------

TEST_F(FilesTest, PinDirectoryChainCreatesAndHoldsEveryFolderOnce) {
    const std::wstring deep = temp.Path(L"a\\b\\c");
    CreateFileRecorder recorder;
    std::vector<std::wstring> created;
    CallSpy<BOOL(LPCWSTR, LPSECURITY_ATTRIBUTES)> makeFolder(SystemCalls().CreateDirectoryW);
    makeFolder.OnCall([&](LPCWSTR path, LPSECURITY_ATTRIBUTES) { created.push_back(path); });

    DirectoryPins pins;
    PinDirectoryChain(pins, deep, true);
    EXPECT_TRUE(IsFolder(deep));
    const std::vector<std::wstring> chain = Chain(deep);
    EXPECT_EQ(pins.Paths(), chain);  // the map's order is the chain's order here
    ASSERT_EQ(recorder.calls.size(), chain.size());
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const auto& call = recorder.calls[i];
        EXPECT_EQ(call.path, LongForm(chain[i]));
        EXPECT_EQ(call.access, PinnedFolderAccess);
        EXPECT_EQ(call.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_EQ(call.disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(call.flags, static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    }
    // Creation is asked for every folder but the drive root, outermost first.
    ASSERT_EQ(created.size(), chain.size() - 1);
    for (std::size_t i = 1; i < chain.size(); ++i) {
        EXPECT_EQ(created[i - 1], LongForm(chain[i]));
    }

    // Again, and a sibling chain: only what is not held yet is touched.
    recorder.calls.clear();
    created.clear();
    PinDirectoryChain(pins, deep, true);
    PinDirectoryChain(pins, deep, false);
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_TRUE(created.empty());
    PinDirectoryChain(pins, temp.Path(L"a\\x"), true);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].path, LongForm(temp.Path(L"a\\x")));
    EXPECT_EQ(pins.Size(), chain.size() + 1);
}

TEST_F(FilesTest, PinDirectoryChainTrailingBackslashIsOneMorePrefix) {
    DirectoryPins pins;
    PinDirectoryChain(pins, temp.Path(L"t\\"), true);
    EXPECT_TRUE(pins.Contains(temp.Path(L"t")));
    EXPECT_TRUE(pins.Contains(temp.Path(L"t\\")));
    EXPECT_EQ(pins.Size(), Chain(temp.Path(L"t")).size() + 1);
}

TEST_F(FilesTest, PinnedFolderCannotBeDeletedOrRenamedByAnyone) {
    const std::wstring held = temp.Path(L"held");
    DirectoryPins pins;
    PinDirectoryChain(pins, held, true);

    const testing::TestHandle forDeletion =
        HoldOpen(held, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_FALSE(forDeletion.IsValid());
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(::MoveFileExW(held.c_str(), temp.Path(L"moved").c_str(), 0));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Its parent is held too.
    EXPECT_FALSE(::MoveFileExW(temp.Root().c_str(), (temp.Root() + L"-moved").c_str(), 0));

    // Files inside stay usable: created, renamed, deleted through a handle.
    const std::wstring inside = JoinPath(held, L"f");
    WriteTestFile(inside, "x");
    ASSERT_TRUE(::MoveFileExW(inside.c_str(), JoinPath(held, L"g").c_str(), MOVEFILE_WRITE_THROUGH));
    DeleteFileIfPresent(JoinPath(held, L"g"));
    EXPECT_FALSE(Exists(JoinPath(held, L"g")));

    pins.Clear();
    EXPECT_TRUE(::MoveFileExW(held.c_str(), temp.Path(L"moved").c_str(), 0));
}

TEST_F(FilesTest, PinDirectoryChainFailuresLeaveTheMapAsItWas) {
    WriteTestFile(temp.Path(L"file"), "x");
    MakeFolder(temp.Path(L"a"));
    MakeFolder(temp.Path(L"a\\b"));

    const struct {
        const char* what;
        std::wstring path;
        bool create;
        std::function<Arrangement()> arrange;
        FailureCode expected;
        const wchar_t* mustNotExist;
    } cases[] = {
        {"missing folder without creation", temp.Path(L"a\\b\\missing\\x"), false, nullptr,
         FailureCode::InstallationNotFound, nullptr},
        {"file where a folder is expected", temp.Path(L"file\\x"), true, nullptr,
         FailureCode::InstallFolderRejected, nullptr},
        {"junction in the middle, creating", temp.Path(L"a\\b\\c\\d"), true,
         [&] { return std::make_shared<FakeAttributes>(temp.Path(L"a"), FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected, L"a\\b\\c"},
        {"junction in the middle, not creating", temp.Path(L"a\\b"), false,
         [&] { return std::make_shared<FakeAttributes>(temp.Path(L"a"), FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected, nullptr},
        {"junction at the end", temp.Path(L"a\\b"), true,
         [&] { return std::make_shared<FakeAttributes>(temp.Path(L"a\\b"), FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected, nullptr},
        {"folder creation refused", temp.Path(L"a\\b\\new\\x"), true,
         [&] {
             auto spy = std::make_shared<CallSpy<BOOL(LPCWSTR, LPSECURITY_ATTRIBUTES)>>(SystemCalls().CreateDirectoryW);
             spy->FailWhen(OpensOf(temp.Path(L"a\\b\\new")), FALSE, ERROR_ACCESS_DENIED);
             return spy;
         },
         FailureCode::WriteFailed, L"a\\b\\new"},
        {"folder open refused", temp.Path(L"a\\b"), false,
         [&] {
             auto spy = std::make_shared<CallSpy<CreateFileSignature>>(SystemCalls().CreateFileW);
             spy->FailWhen(OpensOf(temp.Path(L"a\\b")), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
             return spy;
         },
         FailureCode::InstallFolderRejected, nullptr},
        {"folder held for deletion elsewhere", temp.Path(L"a\\b"), false,
         [&] {
             auto spy = std::make_shared<CallSpy<CreateFileSignature>>(SystemCalls().CreateFileW);
             spy->FailWhen(OpensOf(temp.Path(L"a\\b")), INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
             return spy;
         },
         FailureCode::InstallFolderRejected, nullptr},
        {"refused path", temp.Path(L"a\\\\b"), true, nullptr, FailureCode::InstallFolderRejected, nullptr},
    };
    for (const auto& c : cases) {
        DirectoryPins pins;
        PinDirectoryChain(pins, temp.Root(), false);  // what the caller held before
        const std::vector<std::wstring> before = pins.Paths();
        HandleLedger ledger;
        {
            const Arrangement arrangement = c.arrange ? c.arrange() : nullptr;
            EXPECT_EQ(FailureOf([&] { PinDirectoryChain(pins, c.path, c.create); }), c.expected) << c.what;
        }
        EXPECT_EQ(pins.Paths(), before) << c.what;
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
        if (c.mustNotExist != nullptr) {
            EXPECT_FALSE(Exists(temp.Path(c.mustNotExist))) << c.what;
        }
    }
}

// Real links, where the platform can make them; the fakes above stand in for
// them where it cannot.
TEST_F(FilesTest, RealSymbolicLinksAreRefused) {
    WriteTestFile(temp.Path(L"target"), "x");
    MakeFolder(temp.Path(L"real"));
    const std::wstring fileLink = temp.Path(L"file-link");
    const std::wstring folderLink = temp.Path(L"folder-link");
    ::CreateSymbolicLinkW(fileLink.c_str(), temp.Path(L"target").c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    ::CreateSymbolicLinkW(folderLink.c_str(), temp.Path(L"real").c_str(),
                          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (!testing::IsReparsePoint(fileLink) || !testing::IsReparsePoint(folderLink)) {
        GTEST_SKIP() << "this platform made no symbolic links (CreateSymbolicLinkW left no reparse point); "
                        "the cases with faked reparse attributes cover the refusals";
    }
    EXPECT_EQ(FailureOf([&] { OpenFileChecked(fileLink, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ); }),
              FailureCode::InstallFolderRejected);
    EXPECT_EQ(FailureOf([&] { DeleteFileIfPresent(fileLink); }), FailureCode::InstallFolderRejected);
    DirectoryPins pins;
    EXPECT_EQ(FailureOf([&] { PinDirectoryChain(pins, JoinPath(folderLink, L"below"), true); }),
              FailureCode::InstallFolderRejected);
    EXPECT_EQ(pins.Size(), 0u);
    EXPECT_FALSE(Exists(temp.Path(L"real\\below")));
    EXPECT_EQ(FailureOf([&] { RemoveDirectoryIfEmpty(folderLink); }), FailureCode::InstallFolderRejected);
    EXPECT_TRUE(Exists(fileLink));
    EXPECT_TRUE(Exists(temp.Path(L"target")));
}

// --- WriteAll ---------------------------------------------------------------

TEST_F(FilesTest, WriteAllWritesInBlocksOfAtMost64KiB) {
    const struct {
        std::size_t count;
        std::vector<DWORD> pieces;
    } cases[] = {
        {0, {}},
        {1, {1}},
        {65536, {65536}},
        {65537, {65536, 1}},
        {200000, {65536, 65536, 65536, 3392}},
    };
    for (const auto& c : cases) {
        const std::wstring path = temp.Path(L"out-" + std::to_wstring(c.count));
        const std::string bytes = PatternBytes(c.count);
        std::vector<DWORD> pieces;
        {
            const ScopedHandle file = OpenFileChecked(path, GENERIC_WRITE, CREATE_NEW, 0);
            CallSpy<WriteSignature> write(SystemCalls().WriteFile);
            write.OnCall([&](HANDLE, LPCVOID, DWORD size, LPDWORD, LPOVERLAPPED) { pieces.push_back(size); });
            WriteAll(file.Get(), bytes.data(), bytes.size());
        }
        EXPECT_EQ(pieces, c.pieces) << c.count;
        EXPECT_EQ(ReadTestFile(path), bytes) << c.count;
    }
}

TEST_F(FilesTest, WriteAllFullDiskAndShortWrites) {
    const std::string bytes = PatternBytes(200000);
    {
        const ScopedHandle file = OpenFileChecked(temp.Path(L"full"), GENERIC_WRITE, CREATE_NEW, 0);
        CallSpy<WriteSignature> write(SystemCalls().WriteFile);
        write.FailCall(2, FALSE, ERROR_DISK_FULL);
        EXPECT_EQ(FailureOf([&] { WriteAll(file.Get(), bytes.data(), bytes.size()); }), FailureCode::WriteFailed);
        EXPECT_EQ(write.Calls(), 2);  // nothing after the failed piece
    }
    {
        const ScopedHandle file = OpenFileChecked(temp.Path(L"short"), GENERIC_WRITE, CREATE_NEW, 0);
        CallSpy<WriteSignature> write(SystemCalls().WriteFile);
        write.FailWhen(
            [](HANDLE, LPCVOID, DWORD size, LPDWORD written, LPOVERLAPPED) {
                *written = size - 1;
                return true;
            },
            TRUE);
        EXPECT_EQ(FailureOf([&] { WriteAll(file.Get(), bytes.data(), bytes.size()); }), FailureCode::WriteFailed);
        EXPECT_EQ(write.Calls(), 1);
    }
}

// --- HashFile ---------------------------------------------------------------

TEST_F(FilesTest, HashFileDigestsTheWholeFileFromItsStart) {
    const struct {
        std::string content;
        const char* digest;
    } cases[] = {
        {"", EmptyDigest},
        {"abc", AbcDigest},
        {PatternBytes(200000), Pattern200000Digest},
        {PatternBytes(196613), Pattern196613Digest},  // three blocks and five bytes
    };
    for (const auto& c : cases) {
        const std::wstring path = temp.Path(L"h-" + std::to_wstring(c.content.size()));
        WriteTestFile(path, c.content);
        const ScopedHandle file = OpenFileChecked(path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        LARGE_INTEGER end{};
        ASSERT_TRUE(::SetFilePointerEx(file.Get(), end, nullptr, FILE_END));  // a previous reader left it there
        EXPECT_EQ(HashFile(file.Get(), 0), c.digest);
        EXPECT_EQ(HashFile(file.Get(), c.content.size()), c.digest);  // 0 for the empty file: any size
        EXPECT_EQ(FailureOf([&] { HashFile(file.Get(), c.content.size() + 1); }), FailureCode::VerificationFailed);
    }
}

TEST_F(FilesTest, HashFileTakes256MiBButNotOneByteMore) {
    const std::wstring limit = temp.Path(L"limit");
    const std::wstring beyond = temp.Path(L"beyond");
    MakeZeroFile(limit, MaxHashedFileSize);
    MakeZeroFile(beyond, MaxHashedFileSize + 1);
    {
        const ScopedHandle file = OpenFileChecked(limit, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        EXPECT_EQ(HashFile(file.Get(), MaxHashedFileSize), Zero256MiBDigest);
    }
    {
        const ScopedHandle file = OpenFileChecked(beyond, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        CallSpy<ReadSignature> read(SystemCalls().ReadFile);
        EXPECT_EQ(FailureOf([&] { HashFile(file.Get(), 0); }), FailureCode::VerificationFailed);
        EXPECT_EQ(read.Calls(), 0);  // refused by its size alone
    }
}

TEST_F(FilesTest, HashFileFailures) {
    const std::string content = PatternBytes(200000);  // four blocks, then the empty read
    WriteTestFile(temp.Path(L"in"), content);
    using SizeSignature = BOOL(HANDLE, PLARGE_INTEGER);
    using SeekSignature = BOOL(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD);

    const struct {
        const char* what;
        std::function<Arrangement()> arrange;
        FailureCode expected;
    } cases[] = {
        {"size unknown",
         [] {
             auto spy = std::make_shared<CallSpy<SizeSignature>>(SystemCalls().GetFileSizeEx);
             spy->FailCall(1, FALSE, ERROR_INVALID_FUNCTION);
             return spy;
         },
         FailureCode::VerificationFailed},
        {"seek refused",
         [] {
             auto spy = std::make_shared<CallSpy<SeekSignature>>(SystemCalls().SetFilePointerEx);
             spy->FailCall(1, FALSE, ERROR_INVALID_PARAMETER);
             return spy;
         },
         FailureCode::WriteFailed},
        {"read fails",
         [] {
             auto spy = std::make_shared<CallSpy<ReadSignature>>(SystemCalls().ReadFile);
             spy->FailCall(3, FALSE, ERROR_READ_FAULT);
             return spy;
         },
         FailureCode::WriteFailed},
        {"file ends early",
         [] {
             auto spy = std::make_shared<CallSpy<ReadSignature>>(SystemCalls().ReadFile);
             spy->FailWhen(
                 [spy = spy.get()](HANDLE, LPVOID, DWORD, LPDWORD read, LPOVERLAPPED) {
                     *read = 0;
                     return spy->Calls() == 2;
                 },
                 TRUE);
             return spy;
         },
         FailureCode::VerificationFailed},
        {"more bytes than the size said",
         [] {
             auto spy = std::make_shared<CallSpy<SizeSignature>>(SystemCalls().GetFileSizeEx);
             spy->FailWhen(
                 [](HANDLE, PLARGE_INTEGER size) {
                     size->QuadPart = 100000;
                     return true;
                 },
                 TRUE);
             return spy;
         },
         FailureCode::VerificationFailed},
        {"hashing service fails",
         [] {
             auto spy = std::make_shared<CallSpy<NTSTATUS(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG)>>(
                 SystemCalls().BCryptHashData);
             spy->FailCall(2, static_cast<NTSTATUS>(0xC0000001L));
             return spy;
         },
         FailureCode::WriteFailed},
    };
    for (const auto& c : cases) {
        CngLedger cng;
        int reads = 0;
        {
            const ScopedHandle file = OpenFileChecked(temp.Path(L"in"), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
            const Arrangement arrangement = c.arrange();
            CallSpy<ReadSignature> readCounter(SystemCalls().ReadFile);
            EXPECT_EQ(FailureOf([&] { HashFile(file.Get(), 0); }), c.expected) << c.what;
            reads = readCounter.Calls();
        }
        EXPECT_LE(reads, 4) << c.what;  // never reads on past what the size allows
        EXPECT_EQ(cng.providers, 0) << c.what;
        EXPECT_EQ(cng.hashes, 0) << c.what;
    }
}

// --- CopyFileVerified -------------------------------------------------------

TEST_F(FilesTest, CopyFileVerifiedCopiesAndReportsTheSourceDigest) {
    MakeFolder(temp.Path(L"src"));
    MakeFolder(temp.Path(L"dst"));
    const struct {
        std::string content;
        const char* digest;
    } cases[] = {
        {"", EmptyDigest},
        {PatternBytes(200000), Pattern200000Digest},
    };
    for (const auto& c : cases) {
        const std::wstring source = temp.Path(L"src\\s-" + std::to_wstring(c.content.size()));
        const std::wstring destination = temp.Path(L"dst\\d-" + std::to_wstring(c.content.size()));
        WriteTestFile(source, c.content);
        std::string digest = "left over";
        int created = 0;
        HandleLedger ledger;
        CreateFileRecorder recorder;
        CopyFileVerified(source, destination, digest, [&] {
            ++created;
            WIN32_FILE_ATTRIBUTE_DATA data{};  // the file is held without sharing: ask by name
            ASSERT_TRUE(::GetFileAttributesExW(destination.c_str(), GetFileExInfoStandard, &data));
            EXPECT_EQ(data.nFileSizeLow, 0u);  // created, nothing copied yet
        });
        EXPECT_EQ(digest, c.digest);
        EXPECT_EQ(created, 1);
        EXPECT_EQ(ReadTestFile(destination), c.content);
        EXPECT_EQ(ReadTestFile(source), c.content);
        EXPECT_EQ(ledger.Open(), 0u);

        std::vector<CreateFileCall> files;
        for (const auto& call : recorder.calls) {
            if ((call.flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) files.push_back(call);
        }
        ASSERT_EQ(files.size(), 2u);
        EXPECT_EQ(files[0].path, LongForm(source));
        EXPECT_EQ(files[0].access, static_cast<DWORD>(GENERIC_READ | FILE_READ_ATTRIBUTES));
        EXPECT_EQ(files[0].share, static_cast<DWORD>(FILE_SHARE_READ));
        EXPECT_EQ(files[1].path, LongForm(destination));
        EXPECT_EQ(files[1].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | FILE_READ_ATTRIBUTES));
        EXPECT_EQ(files[1].share, 0u);
        EXPECT_EQ(files[1].disposition, static_cast<DWORD>(CREATE_NEW));
    }
}

TEST_F(FilesTest, CopyFileVerifiedOntoAnExistingFileLeavesItUntouched) {
    WriteTestFile(temp.Path(L"source"), "new content");
    WriteTestFile(temp.Path(L"existing"), "keep me");
    std::string digest;
    bool created = false;
    EXPECT_EQ(FailureOf([&] {
                  CopyFileVerified(temp.Path(L"source"), temp.Path(L"existing"), digest, [&] { created = true; });
              }),
              FailureCode::WriteFailed);
    EXPECT_FALSE(created);
    EXPECT_EQ(ReadTestFile(temp.Path(L"existing")), "keep me");
}

TEST_F(FilesTest, CopyFileVerifiedFailures) {
    const std::string content = PatternBytes(200000);  // hashing: 5 reads; copying: reads 6 to 10
    const std::wstring source = temp.Path(L"source");
    WriteTestFile(source, content);

    const struct {
        const char* what;
        std::wstring source;
        std::wstring destination;
        std::function<Arrangement()> arrange;
        FailureCode expected;
    } cases[] = {
        {"missing source", temp.Path(L"absent"), temp.Path(L"copy"), nullptr, FailureCode::InstallationNotFound},
        {"missing source folder", temp.Path(L"absent\\source"), temp.Path(L"copy"), nullptr,
         FailureCode::InstallationNotFound},
        {"missing destination folder", source, temp.Path(L"absent\\copy"), nullptr,
         FailureCode::InstallationNotFound},
        {"source being written", source, temp.Path(L"copy"),
         [&] {
             return std::make_shared<testing::TestHandle>(
                 HoldOpen(source, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
         },
         FailureCode::AppRunning},
        {"source is a link", source, temp.Path(L"copy"),
         [&] { return std::make_shared<FakeAttributes>(source, FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected},
        {"read fails while copying", source, temp.Path(L"copy"),
         [] {
             auto spy = std::make_shared<CallSpy<ReadSignature>>(SystemCalls().ReadFile);
             spy->FailCall(7, FALSE, ERROR_READ_FAULT);
             return spy;
         },
         FailureCode::WriteFailed},
        {"disk full", source, temp.Path(L"copy"),
         [] {
             auto spy = std::make_shared<CallSpy<WriteSignature>>(SystemCalls().WriteFile);
             spy->FailCall(2, FALSE, ERROR_DISK_FULL);
             return spy;
         },
         FailureCode::WriteFailed},
        {"flush fails", source, temp.Path(L"copy"),
         [] {
             auto spy = std::make_shared<CallSpy<BOOL(HANDLE)>>(SystemCalls().FlushFileBuffers);
             spy->FailCall(1, FALSE, ERROR_IO_DEVICE);
             return spy;
         },
         FailureCode::VerificationFailed},
        {"copy comes out different", source, temp.Path(L"copy"),
         [] {
             auto spy = std::make_shared<CallSpy<WriteSignature>>(SystemCalls().WriteFile);
             spy->FailWhen(
                 [spy = spy.get()](HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED) {
                     if (spy->Calls() != 2) return false;
                     std::string changed(static_cast<const char*>(bytes), size);
                     changed[100] = static_cast<char>(changed[100] ^ 1);
                     return spy->Original()(file, changed.data(), size, written, nullptr) != FALSE;
                 },
                 TRUE);
             return spy;
         },
         FailureCode::VerificationFailed},
    };
    for (const auto& c : cases) {
        ::DeleteFileW(temp.Path(L"copy").c_str());
        HandleLedger ledger;
        CngLedger cng;
        {
            const Arrangement arrangement = c.arrange ? c.arrange() : nullptr;
            std::string digest;
            EXPECT_EQ(FailureOf([&] { CopyFileVerified(c.source, c.destination, digest, nullptr); }), c.expected)
                << c.what;
        }
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
        EXPECT_EQ(cng.providers, 0) << c.what;
        EXPECT_EQ(cng.hashes, 0) << c.what;
        EXPECT_EQ(ReadTestFile(source), content) << c.what;
    }
}

// --- ReplaceFileWithBackup --------------------------------------------------

class ReplaceTest : public FilesTest {
protected:
    ReplaceTest() {
        replacement.targetPath = temp.Path(L"Pelorin.lnk");
        replacement.backupPath = temp.Path(L".pelorin-backup.lnk");
        replacement.newPath = temp.Path(L".pelorin-new.lnk");
        moves.OnCall([this](LPCWSTR from, LPCWSTR to, DWORD flags) { moved.push_back({from, to, flags}); });
    }

    void Replace() { ReplaceFileWithBackup(replacement, "new", 3); }

    struct Move {
        std::wstring from, to;
        DWORD flags;
        bool operator==(const Move&) const = default;
    };
    FileReplacement replacement;
    std::vector<Move> moved;
    CallSpy<MoveSignature> moves{SystemCalls().MoveFileExW};
};

TEST_F(ReplaceTest, WithoutATargetOnlyTheNewFileMoves) {
    Replace();
    EXPECT_FALSE(replacement.backedUp);
    EXPECT_TRUE(replacement.replaced);
    EXPECT_EQ(ReadTestFile(replacement.targetPath), "new");
    EXPECT_FALSE(Exists(replacement.newPath));
    EXPECT_FALSE(Exists(replacement.backupPath));
    EXPECT_EQ(moved, (std::vector<Move>{
                         {LongForm(replacement.newPath), LongForm(replacement.targetPath), MOVEFILE_WRITE_THROUGH}}));
}

TEST_F(ReplaceTest, AnExistingTargetIsBackedUpFirst) {
    WriteTestFile(replacement.targetPath, "old");
    DirectoryPins pins;
    PinDirectoryChain(pins, temp.Root(), false);  // callers hold the folder meanwhile
    HandleLedger ledger;
    Replace();
    EXPECT_TRUE(replacement.backedUp);
    EXPECT_TRUE(replacement.replaced);
    EXPECT_EQ(ReadTestFile(replacement.targetPath), "new");
    EXPECT_EQ(ReadTestFile(replacement.backupPath), "old");
    EXPECT_FALSE(Exists(replacement.newPath));
    EXPECT_EQ(ledger.Open(), 0u);
    EXPECT_EQ(moved,
              (std::vector<Move>{
                  {LongForm(replacement.targetPath), LongForm(replacement.backupPath), MOVEFILE_WRITE_THROUGH},
                  {LongForm(replacement.newPath), LongForm(replacement.targetPath), MOVEFILE_WRITE_THROUGH}}));
}

TEST_F(ReplaceTest, AnExistingBackupIsNeverReplaced) {
    WriteTestFile(replacement.targetPath, "old");
    WriteTestFile(replacement.backupPath, "prior backup");
    EXPECT_EQ(FailureOf([&] { Replace(); }), FailureCode::RegistrationFailed);
    EXPECT_FALSE(replacement.backedUp);
    EXPECT_FALSE(replacement.replaced);
    EXPECT_EQ(ReadTestFile(replacement.newPath), "new");
    EXPECT_EQ(ReadTestFile(replacement.targetPath), "old");
    EXPECT_EQ(ReadTestFile(replacement.backupPath), "prior backup");
}

TEST_F(ReplaceTest, Failures) {
    const std::wstring otherName = temp.Path(L"other-name");
    const struct {
        const char* what;
        std::function<Arrangement(CallSpy<MoveSignature>&)> arrange;
        FailureCode expected;
        bool backedUp;
        bool newWritten;
        int movesTried;
    } cases[] = {
        {"flush fails",
         [](auto&) {
             auto spy = std::make_shared<CallSpy<BOOL(HANDLE)>>(SystemCalls().FlushFileBuffers);
             spy->FailCall(1, FALSE, ERROR_IO_DEVICE);
             return spy;
         },
         FailureCode::RegistrationFailed, false, true, 0},
        {"disk full",
         [](auto&) {
             auto spy = std::make_shared<CallSpy<WriteSignature>>(SystemCalls().WriteFile);
             spy->FailCall(1, FALSE, ERROR_DISK_FULL);
             return spy;
         },
         FailureCode::WriteFailed, false, false, 0},
        {"new file exists already",
         [&](auto&) {
             WriteTestFile(replacement.newPath, "stale");
             return nullptr;
         },
         FailureCode::WriteFailed, false, false, 0},
        {"target cannot be probed",
         [&](auto&) {
             auto spy = std::make_shared<CallSpy<CreateFileSignature>>(SystemCalls().CreateFileW);
             spy->FailWhen(OpensOf(replacement.targetPath), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
             return spy;
         },
         FailureCode::RegistrationFailed, false, true, 0},
        {"target is a folder",
         [&](auto&) {
             ::DeleteFileW(replacement.targetPath.c_str());
             MakeFolder(replacement.targetPath);
             return nullptr;
         },
         FailureCode::RegistrationFailed, false, true, 0},
        {"target has a second link",
         [&](auto&) {
             EXPECT_TRUE(::CreateHardLinkW(otherName.c_str(), replacement.targetPath.c_str(), nullptr));
             return nullptr;
         },
         FailureCode::InstallFolderRejected, false, true, 0},
        {"target is a link",
         [&](auto&) { return std::make_shared<FakeAttributes>(replacement.targetPath, FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected, false, true, 0},
        {"backup move refused",
         [](CallSpy<MoveSignature>& move) {
             move.FailCall(1, FALSE, ERROR_SHARING_VIOLATION);
             return nullptr;
         },
         FailureCode::RegistrationFailed, false, true, 1},
        {"final move refused",
         [](CallSpy<MoveSignature>& move) {
             move.FailCall(2, FALSE, ERROR_ACCESS_DENIED);
             return nullptr;
         },
         FailureCode::RegistrationFailed, true, true, 2},
    };
    for (const auto& c : cases) {
        for (const std::wstring& left : {replacement.newPath, replacement.backupPath, otherName}) {
            ::DeleteFileW(left.c_str());
        }
        ::RemoveDirectoryW(replacement.targetPath.c_str());
        WriteTestFile(replacement.targetPath, "old");
        replacement.backedUp = false;
        replacement.replaced = false;

        HandleLedger ledger;
        {
            CallSpy<MoveSignature> move(SystemCalls().MoveFileExW);
            const Arrangement arrangement = c.arrange(move);
            EXPECT_EQ(FailureOf([&] { Replace(); }), c.expected) << c.what;
            EXPECT_EQ(move.Calls(), c.movesTried) << c.what;  // nothing moves after a refused step
        }
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
        EXPECT_EQ(replacement.backedUp, c.backedUp) << c.what;
        EXPECT_FALSE(replacement.replaced) << c.what;
        if (c.newWritten) {
            EXPECT_EQ(ReadTestFile(replacement.newPath), "new") << c.what;
        }
        if (c.backedUp) {
            EXPECT_EQ(ReadTestFile(replacement.backupPath), "old") << c.what;
        } else if (!IsFolder(replacement.targetPath)) {
            EXPECT_EQ(ReadTestFile(replacement.targetPath), "old") << c.what;
        }
    }
}

TEST_F(ReplaceTest, ARefusedPathCreatesNothing) {
    replacement.backupPath = temp.Path(L"a\\..\\backup");
    EXPECT_EQ(FailureOf([&] { Replace(); }), FailureCode::InstallFolderRejected);
    EXPECT_FALSE(Exists(replacement.newPath));
}

// --- CheckNotReadOnly -------------------------------------------------------

TEST_F(FilesTest, CheckNotReadOnly) {
    WriteTestFile(temp.Path(L"writable"), "x");
    WriteTestFile(temp.Path(L"read-only"), "x");
    SetReadOnly(temp.Path(L"read-only"), true);
    {
        const ScopedHandle file = OpenRaw(temp.Path(L"writable"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, 0);
        EXPECT_EQ(FailureOf([&] { CheckNotReadOnly(file.Get()); }), FailureCode::None);
        CallSpy<FileInformationSignature> information(SystemCalls().GetFileInformationByHandleEx);
        information.FailCall(1, FALSE, ERROR_INVALID_FUNCTION);
        EXPECT_EQ(FailureOf([&] { CheckNotReadOnly(file.Get()); }), FailureCode::WriteFailed);
    }
    const ScopedHandle file = OpenRaw(temp.Path(L"read-only"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, 0);
    EXPECT_EQ(FailureOf([&] { CheckNotReadOnly(file.Get()); }), FailureCode::WriteFailed);
}

// --- DeleteFileIfPresent and RemoveDirectoryIfEmpty -------------------------

TEST_F(FilesTest, DeleteFileIfPresentDeletesThroughAHandle) {
    const std::wstring path = temp.Path(L"doomed");
    WriteTestFile(path, "x");
    CreateFileRecorder recorder;
    HandleLedger ledger;
    DeleteFileIfPresent(path);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(ledger.Open(), 0u);
    ASSERT_FALSE(recorder.calls.empty());
    const CreateFileCall& open = recorder.calls.back();
    EXPECT_EQ(open.path, LongForm(path));
    EXPECT_EQ(open.access, static_cast<DWORD>(DELETE | FILE_READ_ATTRIBUTES));
    EXPECT_EQ(open.share, static_cast<DWORD>(FILE_SHARE_READ));
    EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open.flags, static_cast<DWORD>(FILE_FLAG_OPEN_REPARSE_POINT));
}

TEST_F(FilesTest, DeleteFileIfPresentCases) {
    const std::wstring path = temp.Path(L"f");
    const struct {
        const char* what;
        std::wstring path;
        std::function<Arrangement()> arrange;
        FailureCode expected;
        bool stays;
    } cases[] = {
        {"absent file", temp.Path(L"absent"), nullptr, FailureCode::None, false},
        {"absent folder", temp.Path(L"absent\\f"), nullptr, FailureCode::InstallationNotFound, false},
        {"read-only file", path, [&] { SetReadOnly(path, true); return nullptr; }, FailureCode::WriteFailed, true},
        {"held without delete sharing", path,
         [&] { return std::make_shared<testing::TestHandle>(HoldOpen(path, GENERIC_READ, FILE_SHARE_READ)); },
         FailureCode::WriteFailed, true},
        {"second hard link", path,
         [&] {
             ::CreateHardLinkW(temp.Path(L"f-2").c_str(), path.c_str(), nullptr);
             return nullptr;
         },
         FailureCode::InstallFolderRejected, true},
        {"symbolic link", path,
         [&] { return std::make_shared<FakeAttributes>(path, FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected, true},
        {"disposition refused", path,
         [] {
             auto spy = std::make_shared<CallSpy<FileInformationSignature>>(SystemCalls().SetFileInformationByHandle);
             spy->FailCall(1, FALSE, ERROR_ACCESS_DENIED);
             return spy;
         },
         FailureCode::WriteFailed, true},
        {"disposition refused as for a full folder", path,
         [] {
             auto spy = std::make_shared<CallSpy<FileInformationSignature>>(SystemCalls().SetFileInformationByHandle);
             spy->FailCall(1, FALSE, ERROR_DIR_NOT_EMPTY);
             return spy;
         },
         FailureCode::WriteFailed, true},
        {"a folder", temp.Path(L"folder"), [&] { MakeFolder(temp.Path(L"folder")); return nullptr; },
         FailureCode::WriteFailed, true},
        {"refused path", temp.Path(L"x\\..\\f"), nullptr, FailureCode::InstallFolderRejected, false},
    };
    for (const auto& c : cases) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(temp.Path(L"f-2").c_str());
        WriteTestFile(path, "x");
        HandleLedger ledger;
        {
            const Arrangement arrangement = c.arrange ? c.arrange() : nullptr;
            EXPECT_EQ(FailureOf([&] { DeleteFileIfPresent(c.path); }), c.expected) << c.what;
        }
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
        if (c.stays) {
            EXPECT_TRUE(Exists(c.path)) << c.what;
        }
    }
}

TEST_F(FilesTest, RemoveDirectoryIfEmptyCases) {
    const std::wstring folder = temp.Path(L"d");
    const struct {
        const char* what;
        std::wstring path;
        std::function<Arrangement()> arrange;
        FailureCode expected;
        bool stays;
    } cases[] = {
        {"empty folder", folder, nullptr, FailureCode::None, false},
        {"folder with a file", folder, [&] { WriteTestFile(JoinPath(folder, L"f"), "x"); return nullptr; },
         FailureCode::None, true},
        {"folder with a folder", folder, [&] { MakeFolder(JoinPath(folder, L"sub")); return nullptr; },
         FailureCode::None, true},
        {"absent folder", temp.Path(L"absent"), nullptr, FailureCode::None, false},
        {"absent parent", temp.Path(L"absent\\d"), nullptr, FailureCode::InstallationNotFound, false},
        {"a file", temp.Path(L"file"), [&] { WriteTestFile(temp.Path(L"file"), "x"); return nullptr; },
         FailureCode::InstallFolderRejected, true},
        {"junction", folder,
         [&] { return std::make_shared<FakeAttributes>(folder, FILE_ATTRIBUTE_REPARSE_POINT); },
         FailureCode::InstallFolderRejected, true},
        {"still pinned by this process", folder,
         [&] {
             auto pins = std::make_shared<DirectoryPins>();
             PinDirectoryChain(*pins, folder, false);
             return pins;
         },
         FailureCode::WriteFailed, true},
        {"disposition refused", folder,
         [] {
             auto spy = std::make_shared<CallSpy<FileInformationSignature>>(SystemCalls().SetFileInformationByHandle);
             spy->FailCall(1, FALSE, ERROR_ACCESS_DENIED);
             return spy;
         },
         FailureCode::WriteFailed, true},
    };
    for (const auto& c : cases) {
        ::DeleteFileW(JoinPath(folder, L"f").c_str());
        ::RemoveDirectoryW(JoinPath(folder, L"sub").c_str());
        ::CreateDirectoryW(folder.c_str(), nullptr);
        HandleLedger ledger;
        CreateFileRecorder recorder;
        {
            const Arrangement arrangement = c.arrange ? c.arrange() : nullptr;
            EXPECT_EQ(FailureOf([&] { RemoveDirectoryIfEmpty(c.path); }), c.expected) << c.what;
        }
        EXPECT_EQ(ledger.Open(), 0u) << c.what;
        EXPECT_EQ(Exists(c.path), c.stays) << c.what;
        for (const auto& call : recorder.calls) {
            if (call.path == LongForm(c.path) && (call.access & DELETE) != 0) {
                EXPECT_EQ(call.access, static_cast<DWORD>(DELETE | FILE_READ_ATTRIBUTES));
                EXPECT_EQ(call.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
                EXPECT_EQ(call.flags, static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
            }
        }
    }
}

}  // namespace
}  // namespace pelorin::setup
