// The contract between the setup engine and the installer window: request,
// progress and result records, the one failure type, the message table and
// the rule that turns whatever escapes an operation into a result.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pelorin::setup {

struct Options {
    bool createDesktopShortcut = false;
};

enum class Stage : std::int32_t {
    Preparing = 0,
    Downloading = 1,
    Verifying = 2,
    Installing = 3,
    Finalizing = 4,
    Removing = 5,
    Completing = 6,
};

struct Progress {
    Stage stage = Stage::Preparing;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    bool cancellable = true;
};

enum class FailureCode : std::int32_t {
    None = 0,
    Cancelled = 1,
    AppRunning = 2,
    DownloadFailed = 3,
    VerificationFailed = 4,
    WriteFailed = 5,
    InstallFolderRejected = 6,
    UnsupportedSystem = 7,
    InstallationNotFound = 8,
    RegistrationFailed = 9,
};

// The engine's only exception type: a code and nothing else. It is thrown by
// value through ThrowFailure and caught by reference. It lives in a named
// namespace so that one type crosses every translation unit of the engine.
struct Failure {
    FailureCode code;
};

struct OperationResult {
    FailureCode code = FailureCode::None;
    bool canRetry = false;
    std::wstring installPath;
    bool desktopShortcutOk = true;
};

using ProgressFunction = std::function<void(const Progress&)>;

// Calls `progress` (if any) with one report; whatever the callback throws is
// swallowed and the operation goes on.
void ReportProgress(const ProgressFunction& progress, Stage stage, std::uint64_t done, std::uint64_t total,
                    bool cancellable) noexcept;

// Throws Failure{code}. The first failure of the running operation also takes
// the system call that failed last on this thread in this operation (if one
// did) as the operation's first cause.
[[noreturn]] void ThrowFailure(FailureCode code);

// How a system call reported its error.
enum class ErrorKind : std::int32_t {
    Win32 = 0,     // GetLastError()
    NtStatus = 1,  // a negative NTSTATUS
    LStatus = 2,   // a registry status other than ERROR_SUCCESS
    HResult = 3,   // a negative HRESULT
};

// One failed system call: its name in the system-call table, its error and
// the first text argument it was given (a path, key or value name), if any.
struct FailedCall {
    const char* call = nullptr;
    ErrorKind kind = ErrorKind::Win32;
    std::uint32_t error = 0;
    std::wstring subject;
};

// What is known of why the running operation on this thread failed.
struct FirstCause {
    bool failed = false;         // a failure other than a cancellation was thrown
    FailureCode code = FailureCode::None;
    bool hasCall = false;        // a system call of the operation failed before it
    FailedCall call;             // the last one that did
    std::uint64_t callsSince = 0;  // fallible calls that succeeded between the two
};

// Kept per thread by the system-call table: the last call that reported a
// failure and how many fallible calls succeeded after it. Never throw.
void NoteFailedCall(const char* call, ErrorKind kind, std::uint32_t error, const wchar_t* subject) noexcept;
void NoteCallSucceeded() noexcept;

// Starts a fresh record for an operation on this thread (RunOperation does).
void BeginCauseRecord() noexcept;
// The record of the operation that ran last on this thread.
const FirstCause& OperationFirstCause() noexcept;

// The user-facing message of a code; the generic text for any code without a
// message of its own (0, 1 and unknown values included).
std::wstring_view FailureMessage(FailureCode code) noexcept;

// True exactly for the codes after which the window offers to try again.
bool CanRetry(FailureCode code) noexcept;

// The result of an operation that ended with a failure of `code`.
OperationResult FailureResult(FailureCode code) noexcept;

// A cancellation point: throws Failure{Cancelled} when the flag is set.
void CheckCancel(const std::atomic<bool>& cancel);

// Runs the body of an operation and turns whatever escapes it into a result:
// a Failure keeps its code, any other exception is a failed write (code 5).
// Every owner inside the body has released (or rolled back) its resource by
// the time the result is built.
template <typename Body>
OperationResult RunOperation(Body&& body) noexcept {
    BeginCauseRecord();
    try {
        return body();
    } catch (const Failure& failure) {
        return FailureResult(failure.code);
    } catch (...) {
        return FailureResult(FailureCode::WriteFailed);
    }
}

}  // namespace pelorin::setup
