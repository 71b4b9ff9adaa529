// The failure code a call throws, or None when it returns.
#pragma once

#include <ostream>

#include "engine/contract.h"

namespace pelorin::setup {

// Shows codes as numbers in test messages.
inline void PrintTo(FailureCode code, std::ostream* out) {
    *out << "code " << static_cast<int>(code);
}

namespace testing {

template <typename Fn>
FailureCode FailureOf(Fn&& fn) {
    try {
        fn();
    } catch (const Failure& failure) {
        return failure.code;
    }
    return FailureCode::None;
}

}  // namespace testing
}  // namespace pelorin::setup
