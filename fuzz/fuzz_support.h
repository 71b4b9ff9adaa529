// What every fuzz target shares: a broken promise ends the run as a crash, so
// libFuzzer keeps the input that showed it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/contract.h"

namespace pelorin::setup::fuzzing {

[[noreturn]] inline void Violation(const char* what) {
    std::fprintf(stderr, "violation: %s\n", what);
    std::abort();
}

inline void Check(bool condition, const char* what) {
    if (!condition) {
        Violation(what);
    }
}

// Runs `body`; the only way out besides returning is a Failure with `allowed`.
// Anything else escapes and ends the run.
template <typename Body>
void AllowFailure(FailureCode allowed, Body&& body) {
    try {
        body();
    } catch (const Failure& failure) {
        Check(failure.code == allowed, "a failure with another code");
    }
}

// The input as UTF-16 code units, two bytes each, little-endian (wchar_t holds
// one code unit, as on Windows; an odd last byte is dropped).
inline std::wstring Utf16Units(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    text.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    return text;
}

}  // namespace pelorin::setup::fuzzing
