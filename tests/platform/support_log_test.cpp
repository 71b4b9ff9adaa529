// The support log's file: its name, its lines, its size cap, the removal of
// old logs and a log that cannot be created.
#include "platform/support_log.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace pelorin::setup {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

void Touch(const std::wstring& path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(SupportLogName, FollowsThePatternAndOnlyItsOwnNamesAreTakenForLogs) {
    SYSTEMTIME utc{};
    utc.wYear = 2026, utc.wMonth = 3, utc.wDay = 7, utc.wHour = 4, utc.wMinute = 5, utc.wSecond = 9;
    EXPECT_EQ(SupportLogName(utc, 4242), L"Pelorin-Setup-20260307-040509-4242.log");
    EXPECT_TRUE(IsSupportLogName(L"Pelorin-Setup-20260307-040509-4242.log"));
    for (const wchar_t* other : {L"Pelorin-Setup-20260307-040509-.log", L"Pelorin-Setup-2026030-040509-1.log",
                                 L"Pelorin-Setup-20260307-040509-1.log.txt", L"Pelorin-Setup-20260307-04050x-1.log",
                                 L"pelorin-notes.log", L"Pelorin-Setup-0.5.0.exe",
                                 L"Pelorin-Setup-20260307-040509-1-copy.log"}) {
        EXPECT_FALSE(IsSupportLogName(other)) << std::string(other, other + std::wcslen(other));
    }
}

TEST(SupportLog, WritesTimestampedUtf8LinesAndNothingWhenClosed) {
    testing::TempFolder folder;
    SupportLog log;
    log.Line("before it is opened");
    ASSERT_TRUE(log.Open(folder.Root()));
    const std::wstring path = log.Path();
    EXPECT_TRUE(IsSupportLogName(path.substr(path.rfind(L'\\') + 1)));
    log.Line("first");
    log.Line("folder: ", L"C:\\Пользователи\\x");
    // Each line is in the file as soon as it is written.
    const std::vector<std::string> lines = Lines(testing::ReadTestFile(path));
    ASSERT_EQ(lines.size(), 2u);
    // "yyyy-mm-dd hh:mm:ss.mmmZ " then the text.
    EXPECT_EQ(lines[0].size(), 25u + 5u);
    EXPECT_EQ(lines[0][4], '-');
    EXPECT_EQ(lines[0][19], '.');
    EXPECT_EQ(lines[0].substr(23), "Z first");
    EXPECT_EQ(lines[1].substr(25), "folder: C:\\\xD0\x9F\xD0\xBE\xD0\xBB\xD1\x8C\xD0\xB7\xD0\xBE\xD0\xB2\xD0\xB0\xD1\x82\xD0"
                                   "\xB5\xD0\xBB\xD0\xB8\\x");
    log.Close();
    log.Line("after it was closed");
    EXPECT_EQ(Lines(testing::ReadTestFile(path)).size(), 2u);
}

TEST(SupportLog, StopsAtTheCapWithALastLineSayingSo) {
    testing::TempFolder folder;
    SupportLog log;
    constexpr std::uint64_t cap = 4096;
    ASSERT_TRUE(log.Open(folder.Root(), cap));
    const std::wstring path = log.Path();
    for (int i = 0; i < 1000; ++i) log.Line("a line of the run number " + std::to_string(i));
    const std::string text = testing::ReadTestFile(path);
    EXPECT_LE(text.size(), cap);
    EXPECT_GT(text.size(), cap - 200);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(lines.back().substr(25), SupportLogStoppedLine);
    EXPECT_EQ(lines[lines.size() - 2].substr(25, 25), "a line of the run number ");
    EXPECT_FALSE(log.IsOpen());
}

TEST(SupportLog, KeepsTheNewestTenOfItsOwnLogsAndNothingElseIsTouched) {
    testing::TempFolder folder;
    // Twelve older logs, a day apart; the oldest three must go once the new
    // one makes thirteen.
    std::vector<std::wstring> old;
    for (int day = 10; day < 22; ++day) {
        old.push_back(folder.Path(L"Pelorin-Setup-202601" + std::to_wstring(day) + L"-120000-7.log"));
        Touch(old.back());
    }
    const std::vector<std::wstring> foreign = {folder.Path(L"Pelorin-Setup-19990101-000000-1.log.bak"),
                                               folder.Path(L"Pelorin-Setup-notes.log"), folder.Path(L"other.log")};
    for (const std::wstring& path : foreign) Touch(path);
    ASSERT_TRUE(::CreateDirectoryW(folder.Path(L"Pelorin-Setup-19990101-000000-2.log").c_str(), nullptr));

    SupportLog log;
    ASSERT_TRUE(log.Open(folder.Root()));
    EXPECT_TRUE(Exists(log.Path()));
    for (std::size_t i = 0; i < old.size(); ++i) {
        EXPECT_EQ(Exists(old[i]), i >= 3) << i;
    }
    for (const std::wstring& path : foreign) EXPECT_TRUE(Exists(path));
    EXPECT_TRUE(Exists(folder.Path(L"Pelorin-Setup-19990101-000000-2.log")));
}

TEST(SupportLog, ALogThatCannotBeCreatedIsGivenUpQuietly) {
    testing::TempFolder folder;
    SupportLog log;
    EXPECT_FALSE(log.Open(folder.Path(L"no such folder")));
    EXPECT_FALSE(log.IsOpen());
    EXPECT_TRUE(log.Path().empty());
    log.Line("goes nowhere");
}

}  // namespace
}  // namespace pelorin::setup
