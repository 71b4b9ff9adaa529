// The one table of operating-system entry points that the engine calls.
//
// Production code reaches these functions only through SystemCalls(); the
// entries start out as the real functions. Test programs replace an entry for
// the length of a scope (see tests/support/override_call.h) to make a call
// report what the platform under test cannot show: a reparse point, a full
// disk, a refused rename, a failing provider, a moved clock. Nothing in the
// shipped program changes the table.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <functional>

namespace pelorin::setup {

struct SystemCallTable {
    // Shell and process.
    std::function<HRESULT(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*)> SHGetKnownFolderPath = ::SHGetKnownFolderPath;
    std::function<DWORD(HMODULE, LPWSTR, DWORD)> GetModuleFileNameW = ::GetModuleFileNameW;
};

SystemCallTable& SystemCalls() noexcept;

}  // namespace pelorin::setup
