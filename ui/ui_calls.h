// The few window-system entry points whose answers a test must be able to
// choose: the high-contrast query (Wine cannot switch high contrast on),
// message boxes (a test answers them instead of a person), text changes (a
// test counts them) and posts to the window (a test makes one fail).
//
// The window code reaches these functions only through UiCalls(); the entries
// start out as the real functions and nothing in the shipped program changes
// them. Tests replace an entry for a scope with OverrideCall.
#pragma once

#include <windows.h>

#include <functional>

namespace pelorin::setup {

struct UiCallTable {
    std::function<BOOL(UINT, UINT, PVOID, UINT)> SystemParametersInfoW = ::SystemParametersInfoW;
    std::function<int(HWND, LPCWSTR, LPCWSTR, UINT)> MessageBoxW = ::MessageBoxW;
    std::function<BOOL(HWND, LPCWSTR)> SetWindowTextW = ::SetWindowTextW;
    std::function<BOOL(HWND, UINT, WPARAM, LPARAM)> PostMessageW = ::PostMessageW;
};

UiCallTable& UiCalls() noexcept;

}  // namespace pelorin::setup
