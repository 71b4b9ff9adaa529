// The one table of operating-system entry points that the engine calls.
//
// Production code reaches these functions only through SystemCalls(); the
// entries start out as the real functions. Test programs replace an entry for
// the length of a scope (see tests/support/override_call.h) to make a call
// report what the platform under test cannot show: a reparse point, a full
// disk, a refused rename, a failing provider, a moved clock. Nothing in the
// shipped program changes the table.
//
// Rules for callers and fakes:
// - A caller that needs the error of a failed call reads GetLastError() right
//   after the table call, before anything else runs.
// - A fake that reports a failure sets the error with ::SetLastError first.
//
// To add an entry: put it in its area's list below under the system's own
// name, with the system's own parameter types and the way the call reports a
// failure; the table's member, which starts out as the real function, and the
// tests' sweep over every entry both come from that list. The ways:
//   FailsFalse          FALSE, error in GetLastError()
//   FailsInvalidHandle  INVALID_HANDLE_VALUE, error in GetLastError()
//   FailsNull           NULL, error in GetLastError()
//   FailsZero           0, error in GetLastError()
//   FailsNtStatus       a negative NTSTATUS
//   FailsLStatus        an error code other than ERROR_SUCCESS
//   FailsHResult        a negative HRESULT
//   Releases            gives a resource back; a failure leaves nothing to act on
//   NeverFails          has no failure result
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <shlobj.h>
#include <winhttp.h>

#include <functional>
#include <type_traits>

#include "engine/contract.h"

namespace pelorin::setup {

// Files and folders.
#define PELORIN_SYSTEM_CALLS_FILES(X) \
    X(CreateFileW, HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE), FailsInvalidHandle) \
    X(ReadFile, BOOL(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED), FailsFalse) \
    X(WriteFile, BOOL(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED), FailsFalse) \
    X(FlushFileBuffers, BOOL(HANDLE), FailsFalse) \
    X(GetFileSizeEx, BOOL(HANDLE, PLARGE_INTEGER), FailsFalse) \
    X(SetFilePointerEx, BOOL(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD), FailsFalse) \
    X(MoveFileExW, BOOL(LPCWSTR, LPCWSTR, DWORD), FailsFalse) \
    X(SetFileInformationByHandle, BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD), FailsFalse) \
    X(GetFileInformationByHandleEx, BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD), FailsFalse) \
    X(CreateDirectoryW, BOOL(LPCWSTR, LPSECURITY_ATTRIBUTES), FailsFalse) \
    X(FindFirstFileW, HANDLE(LPCWSTR, LPWIN32_FIND_DATAW), FailsInvalidHandle) \
    X(FindNextFileW, BOOL(HANDLE, LPWIN32_FIND_DATAW), FailsFalse) \
    X(FindClose, BOOL(HANDLE), Releases)

// Kernel objects. Every handle of the engine is closed through this entry
// (by ScopedHandle), so a test can see that each one was released.
#define PELORIN_SYSTEM_CALLS_KERNEL_OBJECTS(X) \
    X(CloseHandle, BOOL(HANDLE), Releases) \
    X(CreateMutexW, HANDLE(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR), FailsNull)

// System information, clock and processes.
#define PELORIN_SYSTEM_CALLS_SYSTEM(X) \
    X(GetNativeSystemInfo, void(LPSYSTEM_INFO), NeverFails) \
    X(GetTickCount64, ULONGLONG(), NeverFails) \
    X(CreateProcessW, BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION), FailsFalse)

// Cryptography (CNG): SHA-256 and random bytes.
#define PELORIN_SYSTEM_CALLS_CNG(X) \
    X(BCryptOpenAlgorithmProvider, NTSTATUS(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG), FailsNtStatus) \
    X(BCryptGetProperty, NTSTATUS(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG), FailsNtStatus) \
    X(BCryptCreateHash, NTSTATUS(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG), FailsNtStatus) \
    X(BCryptHashData, NTSTATUS(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG), FailsNtStatus) \
    X(BCryptFinishHash, NTSTATUS(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG), FailsNtStatus) \
    X(BCryptDestroyHash, NTSTATUS(BCRYPT_HASH_HANDLE), Releases) \
    X(BCryptCloseAlgorithmProvider, NTSTATUS(BCRYPT_ALG_HANDLE, ULONG), Releases) \
    X(BCryptGenRandom, NTSTATUS(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG), FailsNtStatus)

// COM.
#define PELORIN_SYSTEM_CALLS_COM(X) \
    X(CoInitializeEx, HRESULT(LPVOID, DWORD), FailsHResult) \
    X(CoUninitialize, void(), Releases)

// WinHTTP (synchronous mode).
#define PELORIN_SYSTEM_CALLS_WINHTTP(X) \
    X(WinHttpOpen, HINTERNET(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD), FailsNull) \
    X(WinHttpSetTimeouts, BOOL(HINTERNET, int, int, int, int), FailsFalse) \
    X(WinHttpSetOption, BOOL(HINTERNET, DWORD, LPVOID, DWORD), FailsFalse) \
    X(WinHttpConnect, HINTERNET(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD), FailsNull) \
    X(WinHttpOpenRequest, HINTERNET(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD), FailsNull) \
    X(WinHttpSendRequest, BOOL(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR), FailsFalse) \
    X(WinHttpReceiveResponse, BOOL(HINTERNET, LPVOID), FailsFalse) \
    X(WinHttpQueryHeaders, BOOL(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD), FailsFalse) \
    X(WinHttpReadData, BOOL(HINTERNET, LPVOID, DWORD, LPDWORD), FailsFalse) \
    X(WinHttpCloseHandle, BOOL(HINTERNET), Releases)

// Registry (the per-user Uninstall entry). Every key the engine opens or
// creates is closed through RegCloseKey here.
#define PELORIN_SYSTEM_CALLS_REGISTRY(X) \
    X(RegOpenKeyExW, LSTATUS(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY), FailsLStatus) \
    X(RegCreateKeyExW, LSTATUS(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD), FailsLStatus) \
    X(RegQueryInfoKeyW, LSTATUS(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME), FailsLStatus) \
    X(RegEnumValueW, LSTATUS(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD), FailsLStatus) \
    X(RegQueryValueExW, LSTATUS(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD), FailsLStatus) \
    X(RegSetValueExW, LSTATUS(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD), FailsLStatus) \
    X(RegFlushKey, LSTATUS(HKEY), FailsLStatus) \
    X(RegDeleteKeyExW, LSTATUS(HKEY, LPCWSTR, REGSAM, DWORD), FailsLStatus) \
    X(RegCloseKey, LSTATUS(HKEY), Releases)

// COM shell link objects. Methods of the objects themselves are called on
// the objects; a test that needs one of them to fail hands back its own
// object from these entries.
#define PELORIN_SYSTEM_CALLS_SHELL_LINKS(X) \
    X(CoCreateInstance, HRESULT(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*), FailsHResult) \
    X(CreateStreamOnHGlobal, HRESULT(HGLOBAL, BOOL, LPSTREAM*), FailsHResult)

// Shell and the running module.
#define PELORIN_SYSTEM_CALLS_SHELL(X) \
    X(SHGetKnownFolderPath, HRESULT(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*), FailsHResult) \
    X(GetModuleFileNameW, DWORD(HMODULE, LPWSTR, DWORD), FailsZero)

// Every entry of the table, area by area. Whatever walks the table (the table
// itself, the fault sweep of the tests) expands this one list.
#define PELORIN_SYSTEM_CALLS(X) \
    PELORIN_SYSTEM_CALLS_FILES(X) \
    PELORIN_SYSTEM_CALLS_KERNEL_OBJECTS(X) \
    PELORIN_SYSTEM_CALLS_SYSTEM(X) \
    PELORIN_SYSTEM_CALLS_CNG(X) \
    PELORIN_SYSTEM_CALLS_COM(X) \
    PELORIN_SYSTEM_CALLS_WINHTTP(X) \
    PELORIN_SYSTEM_CALLS_REGISTRY(X) \
    PELORIN_SYSTEM_CALLS_SHELL_LINKS(X) \
    PELORIN_SYSTEM_CALLS_SHELL(X)

// The ways of the list above, as values.
enum class FailureReport { FailsFalse, FailsInvalidHandle, FailsNull, FailsZero, FailsNtStatus, FailsLStatus,
                           FailsHResult, Releases, NeverFails };

// One entry of the table: the function it holds (the real one unless a test
// replaced it), called through an operator that notes, for the operation on
// this thread, a call that reported a failure (its name, its error and its
// first text argument) and counts the fallible calls that succeed after it.
// The entry is a std::function, so a replacement is assigned as to one.
template <FailureReport Way, typename Signature>
class SystemCallEntry;

template <FailureReport Way, typename R, typename... Args>
class SystemCallEntry<Way, R(Args...)> : public std::function<R(Args...)> {
public:
    using Function = std::function<R(Args...)>;

    template <typename Real>
    SystemCallEntry(const char* name, Real real) : Function(real), name_(name) {}
    using Function::operator=;

    R operator()(Args... args) const {
        if constexpr (std::is_void_v<R>) {
            Function::operator()(args...);
        } else {
            R result = Function::operator()(args...);
            if constexpr (Way != FailureReport::Releases && Way != FailureReport::NeverFails) {
                Note(result, args...);
            }
            return result;
        }
    }

private:
    template <typename Result>
    static bool Failed(const Result& result) noexcept {
        if constexpr (Way == FailureReport::FailsFalse || Way == FailureReport::FailsNull ||
                      Way == FailureReport::FailsZero) {
            return result == Result{};
        } else if constexpr (Way == FailureReport::FailsInvalidHandle) {
            return result == INVALID_HANDLE_VALUE;
        } else if constexpr (Way == FailureReport::FailsLStatus) {
            return result != ERROR_SUCCESS;
        } else {
            return result < 0;  // NTSTATUS and HRESULT
        }
    }

    template <typename Result>
    void Note(const Result& result, const Args&... args) const noexcept {
        if (!Failed(result)) {
            NoteCallSucceeded();
            return;
        }
        const wchar_t* subject = nullptr;
        const auto take = [&subject](const auto& argument) {
            using Argument = std::decay_t<decltype(argument)>;
            if constexpr (std::is_same_v<Argument, const wchar_t*> || std::is_same_v<Argument, wchar_t*>) {
                if (subject == nullptr) {
                    subject = argument;
                }
            }
        };
        (take(args), ...);
        if constexpr (Way == FailureReport::FailsNtStatus) {
            NoteFailedCall(name_, ErrorKind::NtStatus, static_cast<std::uint32_t>(result), subject);
        } else if constexpr (Way == FailureReport::FailsLStatus) {
            NoteFailedCall(name_, ErrorKind::LStatus, static_cast<std::uint32_t>(result), subject);
        } else if constexpr (Way == FailureReport::FailsHResult) {
            NoteFailedCall(name_, ErrorKind::HResult, static_cast<std::uint32_t>(result), subject);
        } else {
            const DWORD error = ::GetLastError();
            NoteFailedCall(name_, ErrorKind::Win32, error, subject);
            ::SetLastError(error);  // the caller reads it next
        }
    }

    const char* name_;
};

struct SystemCallTable {
#define PELORIN_SYSTEM_CALL_ENTRY(name, signature, failure) \
    SystemCallEntry<FailureReport::failure, signature> name{#name, ::name};
    PELORIN_SYSTEM_CALLS(PELORIN_SYSTEM_CALL_ENTRY)
#undef PELORIN_SYSTEM_CALL_ENTRY
};

SystemCallTable& SystemCalls() noexcept;

}  // namespace pelorin::setup
