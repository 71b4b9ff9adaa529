#include "platform/support_log.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace pelorin::setup {
namespace {

constexpr std::wstring_view LogPrefix = L"Pelorin-Setup-";
constexpr std::wstring_view LogSuffix = L".log";
// "yyyymmdd-hhmmss"
constexpr std::size_t StampLength = 15;

bool IsDigits(std::wstring_view text) noexcept {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

std::string Timestamp() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03uZ ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

bool WriteBytes(HANDLE file, std::string_view bytes) noexcept {
    DWORD written = 0;
    return ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE &&
           written == bytes.size();
}

}  // namespace

std::wstring SupportLogName(const SYSTEMTIME& utc, DWORD processId) {
    wchar_t name[64];
    std::swprintf(name, sizeof(name) / sizeof(name[0]), L"Pelorin-Setup-%04u%02u%02u-%02u%02u%02u-%lu.log", utc.wYear,
                  utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, static_cast<unsigned long>(processId));
    return name;
}

bool IsSupportLogName(std::wstring_view name) noexcept {
    if (!name.starts_with(LogPrefix) || !name.ends_with(LogSuffix)) {
        return false;
    }
    std::wstring_view rest = name.substr(LogPrefix.size(), name.size() - LogPrefix.size() - LogSuffix.size());
    if (rest.size() < StampLength + 2 || rest[8] != L'-' || rest[StampLength] != L'-') {
        return false;
    }
    return IsDigits(rest.substr(0, 8)) && IsDigits(rest.substr(9, 6)) && IsDigits(rest.substr(StampLength + 1)) &&
           rest.size() <= StampLength + 1 + 10;
}

void RemoveOldSupportLogs(const std::wstring& folder, std::size_t keep) noexcept {
    try {
        struct Found {
            std::wstring stamp;
            unsigned long long processId;
            std::wstring name;
        };
        std::vector<Found> logs;
        WIN32_FIND_DATAW data{};
        const std::wstring pattern = folder + L"\\Pelorin-Setup-*.log";
        const HANDLE search = ::FindFirstFileW(pattern.c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) {
            return;
        }
        do {
            const std::wstring_view name(data.cFileName);
            const bool plainFile = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
            if (plainFile && IsSupportLogName(name)) {
                const std::wstring_view rest = name.substr(LogPrefix.size());
                logs.push_back({std::wstring(rest.substr(0, StampLength)),
                                std::wcstoull(std::wstring(rest.substr(StampLength + 1)).c_str(), nullptr, 10),
                                std::wstring(name)});
            }
        } while (::FindNextFileW(search, &data) != FALSE);
        ::FindClose(search);
        if (logs.size() <= keep) {
            return;
        }
        std::sort(logs.begin(), logs.end(), [](const Found& a, const Found& b) {
            return a.stamp != b.stamp ? a.stamp > b.stamp : a.processId > b.processId;
        });
        for (std::size_t i = keep; i < logs.size(); ++i) {
            ::DeleteFileW((folder + L"\\" + logs[i].name).c_str());
        }
    } catch (...) {
        // Old logs stay; nothing else depends on their removal.
    }
}

SupportLog::~SupportLog() {
    Close();
}

bool SupportLog::Open(const std::wstring& folder, std::uint64_t capBytes) noexcept {
    Close();
    try {
        SYSTEMTIME now{};
        ::GetSystemTime(&now);
        const std::wstring path = folder + L"\\" + SupportLogName(now, ::GetCurrentProcessId());
        const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        {
            const std::lock_guard lock(mutex_);
            file_ = file;
            path_ = path;
            written_ = 0;
            cap_ = capBytes;
        }
        RemoveOldSupportLogs(folder, SupportLogsKept);
        return true;
    } catch (...) {
        return false;
    }
}

void SupportLog::Close() noexcept {
    const std::lock_guard lock(mutex_);
    if (file_ != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
    path_.clear();
}

bool SupportLog::IsOpen() const noexcept {
    const std::lock_guard lock(mutex_);
    return file_ != INVALID_HANDLE_VALUE;
}

std::wstring SupportLog::Path() const {
    const std::lock_guard lock(mutex_);
    return path_;
}

void SupportLog::Line(std::string_view text) noexcept {
    const std::lock_guard lock(mutex_);
    WriteLocked(text);
}

void SupportLog::Line(std::string_view label, std::wstring_view text) noexcept {
    try {
        std::string line(label);
        line += WideToUtf8(text);
        Line(line);
    } catch (...) {
    }
}

void SupportLog::WriteLocked(std::string_view text) noexcept {
    if (file_ == INVALID_HANDLE_VALUE) {
        return;
    }
    try {
        std::string line = Timestamp();
        line += text;
        line += "\r\n";
        std::string stop = Timestamp();
        stop += SupportLogStoppedLine;
        stop += "\r\n";
        const bool fits = written_ + line.size() + stop.size() <= cap_;
        const std::string& bytes = fits ? line : stop;
        const bool ok = WriteBytes(file_, bytes);
        written_ += bytes.size();
        if (ok && fits) {
            return;
        }
    } catch (...) {
    }
    // Full, or the file cannot be written: the log is given up.
    ::CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
}

SupportLog& ProcessLog() noexcept {
    static SupportLog log;
    return log;
}

std::string WideToUtf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                              nullptr);
    }
    return out;
}

std::string DescribeFailedCall(const FailedCall& call) {
    static constexpr const char* Kinds[] = {"Win32 error", "NTSTATUS", "LSTATUS", "HRESULT"};
    const auto kind = static_cast<std::size_t>(call.kind);
    char error[64];
    if (call.kind == ErrorKind::Win32 || call.kind == ErrorKind::LStatus) {
        std::snprintf(error, sizeof(error), "%s %lu", kind < 4 ? Kinds[kind] : "error",
                      static_cast<unsigned long>(call.error));
    } else {
        std::snprintf(error, sizeof(error), "%s 0x%08lX", kind < 4 ? Kinds[kind] : "error",
                      static_cast<unsigned long>(call.error));
    }
    std::string text = call.call != nullptr ? call.call : "?";
    text += " failed, ";
    text += error;
    if (!call.subject.empty()) {
        text += ", on \"";
        text += WideToUtf8(call.subject);
        text += "\"";
    }
    return text;
}

std::string DescribeFirstCause(const FirstCause& cause) {
    if (!cause.failed) {
        return "first cause: not recorded (an exception other than a failure)";
    }
    std::string text = "first cause: code " + std::to_string(static_cast<int>(cause.code)) + " after ";
    if (cause.hasCall) {
        text += DescribeFailedCall(cause.call);
        if (cause.callsSince > 0) {
            text += " (" + std::to_string(cause.callsSince) + " later calls succeeded)";
        }
    } else {
        text += "a failed check (no system call of the operation failed)";
    }
    return text;
}

}  // namespace pelorin::setup
