// The support log: one UTF-8 file per run of the setup program in the user's
// temporary folder, one line per event with a millisecond UTC timestamp.
//
// The log never changes what the program does: a log that cannot be created
// or written is given up without a word. Each line is handed to the system
// as soon as it is complete, so a crash keeps every line written before it.
// The file stops at a size cap with a last line saying so. At start, old logs
// of the program beyond the newest ten are removed; only files whose names
// follow the log's own pattern are ever touched.
//
// The log calls the system directly, never through the system-call table: it
// is not part of any operation and must not be counted or failed as one.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/contract.h"

namespace pelorin::setup {

inline constexpr std::uint64_t SupportLogCapBytes = 1024 * 1024;
inline constexpr std::size_t SupportLogsKept = 10;
inline constexpr char SupportLogStoppedLine[] = "log stopped: size limit reached";

// "Pelorin-Setup-<yyyymmdd-hhmmss>-<pid>.log" for the given UTC time.
std::wstring SupportLogName(const SYSTEMTIME& utc, DWORD processId);

// True for names of the form SupportLogName makes.
bool IsSupportLogName(std::wstring_view name) noexcept;

// Deletes the logs in `folder` beyond the newest `keep` (by the time in the
// name, then the process id). Files of any other name are left alone.
void RemoveOldSupportLogs(const std::wstring& folder, std::size_t keep) noexcept;

class SupportLog {
public:
    SupportLog() = default;
    ~SupportLog();
    SupportLog(const SupportLog&) = delete;
    SupportLog& operator=(const SupportLog&) = delete;

    // Creates a new log in `folder` and removes old ones; false (and a
    // closed log) when the file cannot be created.
    bool Open(const std::wstring& folder, std::uint64_t capBytes = SupportLogCapBytes) noexcept;
    void Close() noexcept;
    bool IsOpen() const noexcept;
    // The file's path; empty while closed.
    std::wstring Path() const;

    // Writes one line (UTF-8, without its line break). From any thread.
    void Line(std::string_view text) noexcept;
    void Line(std::string_view label, std::wstring_view text) noexcept;

private:
    void WriteLocked(std::string_view text) noexcept;

    mutable std::mutex mutex_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::wstring path_;
    std::uint64_t written_ = 0;
    std::uint64_t cap_ = SupportLogCapBytes;
};

// The log of this process; closed (writing nothing) until the entry point
// opens it.
SupportLog& ProcessLog() noexcept;

// Text forms used in the log's lines.
std::string WideToUtf8(std::wstring_view text);
std::string DescribeFailedCall(const FailedCall& call);
// "first cause: ..." for a failed operation, or a line saying none is known.
std::string DescribeFirstCause(const FirstCause& cause);

}  // namespace pelorin::setup
