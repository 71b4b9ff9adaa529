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
// To add an entry: put it in its area below under the system's own name and
// with the system's own parameter types, defaulting to the real function.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <shlobj.h>
#include <winhttp.h>

#include <functional>

namespace pelorin::setup {

struct SystemCallTable {
    // Files and folders.
    std::function<HANDLE(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)> CreateFileW =
        ::CreateFileW;
    std::function<BOOL(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)> ReadFile = ::ReadFile;
    std::function<BOOL(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)> WriteFile = ::WriteFile;
    std::function<BOOL(HANDLE)> FlushFileBuffers = ::FlushFileBuffers;
    std::function<BOOL(HANDLE, PLARGE_INTEGER)> GetFileSizeEx = ::GetFileSizeEx;
    std::function<BOOL(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD)> SetFilePointerEx = ::SetFilePointerEx;
    std::function<BOOL(LPCWSTR, LPCWSTR, DWORD)> MoveFileExW = ::MoveFileExW;
    std::function<BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)> SetFileInformationByHandle =
        ::SetFileInformationByHandle;
    std::function<BOOL(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)> GetFileInformationByHandleEx =
        ::GetFileInformationByHandleEx;
    std::function<BOOL(LPCWSTR, LPSECURITY_ATTRIBUTES)> CreateDirectoryW = ::CreateDirectoryW;
    std::function<HANDLE(LPCWSTR, LPWIN32_FIND_DATAW)> FindFirstFileW = ::FindFirstFileW;
    std::function<BOOL(HANDLE, LPWIN32_FIND_DATAW)> FindNextFileW = ::FindNextFileW;
    std::function<BOOL(HANDLE)> FindClose = ::FindClose;

    // Kernel objects. Every handle of the engine is closed through this entry
    // (by ScopedHandle), so a test can see that each one was released.
    std::function<BOOL(HANDLE)> CloseHandle = ::CloseHandle;
    std::function<HANDLE(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR)> CreateMutexW = ::CreateMutexW;

    // System information, clock and processes.
    std::function<void(LPSYSTEM_INFO)> GetNativeSystemInfo = ::GetNativeSystemInfo;
    std::function<ULONGLONG()> GetTickCount64 = ::GetTickCount64;
    std::function<BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                       LPSTARTUPINFOW, LPPROCESS_INFORMATION)>
        CreateProcessW = ::CreateProcessW;

    // Cryptography (CNG): SHA-256 and random bytes.
    std::function<NTSTATUS(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG)> BCryptOpenAlgorithmProvider =
        ::BCryptOpenAlgorithmProvider;
    std::function<NTSTATUS(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG)> BCryptGetProperty =
        ::BCryptGetProperty;
    std::function<NTSTATUS(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG)>
        BCryptCreateHash = ::BCryptCreateHash;
    std::function<NTSTATUS(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG)> BCryptHashData = ::BCryptHashData;
    std::function<NTSTATUS(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG)> BCryptFinishHash = ::BCryptFinishHash;
    std::function<NTSTATUS(BCRYPT_HASH_HANDLE)> BCryptDestroyHash = ::BCryptDestroyHash;
    std::function<NTSTATUS(BCRYPT_ALG_HANDLE, ULONG)> BCryptCloseAlgorithmProvider = ::BCryptCloseAlgorithmProvider;
    std::function<NTSTATUS(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG)> BCryptGenRandom = ::BCryptGenRandom;

    // COM.
    std::function<HRESULT(LPVOID, DWORD)> CoInitializeEx = ::CoInitializeEx;
    std::function<void()> CoUninitialize = ::CoUninitialize;

    // WinHTTP (synchronous mode).
    std::function<HINTERNET(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD)> WinHttpOpen = ::WinHttpOpen;
    std::function<BOOL(HINTERNET, int, int, int, int)> WinHttpSetTimeouts = ::WinHttpSetTimeouts;
    std::function<BOOL(HINTERNET, DWORD, LPVOID, DWORD)> WinHttpSetOption = ::WinHttpSetOption;
    std::function<HINTERNET(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD)> WinHttpConnect = ::WinHttpConnect;
    std::function<HINTERNET(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD)> WinHttpOpenRequest =
        ::WinHttpOpenRequest;
    std::function<BOOL(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR)> WinHttpSendRequest =
        ::WinHttpSendRequest;
    std::function<BOOL(HINTERNET, LPVOID)> WinHttpReceiveResponse = ::WinHttpReceiveResponse;
    std::function<BOOL(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD)> WinHttpQueryHeaders =
        ::WinHttpQueryHeaders;
    std::function<BOOL(HINTERNET, LPVOID, DWORD, LPDWORD)> WinHttpReadData = ::WinHttpReadData;
    std::function<BOOL(HINTERNET)> WinHttpCloseHandle = ::WinHttpCloseHandle;

    // Registry (the per-user Uninstall entry). Every key the engine opens or
    // creates is closed through RegCloseKey here.
    std::function<LSTATUS(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)> RegOpenKeyExW = ::RegOpenKeyExW;
    std::function<LSTATUS(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)>
        RegCreateKeyExW = ::RegCreateKeyExW;
    std::function<LSTATUS(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                          LPDWORD, PFILETIME)>
        RegQueryInfoKeyW = ::RegQueryInfoKeyW;
    std::function<LSTATUS(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD)> RegEnumValueW =
        ::RegEnumValueW;
    std::function<LSTATUS(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)> RegQueryValueExW = ::RegQueryValueExW;
    std::function<LSTATUS(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)> RegSetValueExW = ::RegSetValueExW;
    std::function<LSTATUS(HKEY)> RegFlushKey = ::RegFlushKey;
    std::function<LSTATUS(HKEY, LPCWSTR, REGSAM, DWORD)> RegDeleteKeyExW = ::RegDeleteKeyExW;
    std::function<LSTATUS(HKEY)> RegCloseKey = ::RegCloseKey;

    // COM shell link objects. Methods of the objects themselves are called on
    // the objects; a test that needs one of them to fail hands back its own
    // object from these entries.
    std::function<HRESULT(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*)> CoCreateInstance = ::CoCreateInstance;
    std::function<HRESULT(HGLOBAL, BOOL, LPSTREAM*)> CreateStreamOnHGlobal = ::CreateStreamOnHGlobal;

    // Shell and the running module.
    std::function<HRESULT(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*)> SHGetKnownFolderPath = ::SHGetKnownFolderPath;
    std::function<DWORD(HMODULE, LPWSTR, DWORD)> GetModuleFileNameW = ::GetModuleFileNameW;
};

SystemCallTable& SystemCalls() noexcept;

}  // namespace pelorin::setup
