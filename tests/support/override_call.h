// Replaces one entry of the system-call table for the length of a scope.
//
//   OverrideCall fail(SystemCalls().GetModuleFileNameW,
//                     [](HMODULE, LPWSTR, DWORD) -> DWORD { return 0; });
//
// The replaced function stays reachable through Original(), so a fake can
// pass most calls on and change only the one it is after.
#pragma once

#include <functional>
#include <type_traits>
#include <utility>

namespace pelorin::setup::testing {

template <typename Signature>
class OverrideCall {
public:
    OverrideCall(std::function<Signature>& slot, std::type_identity_t<std::function<Signature>> replacement)
        : slot_(slot), original_(std::exchange(slot, std::move(replacement))) {}
    ~OverrideCall() { slot_ = std::move(original_); }
    OverrideCall(const OverrideCall&) = delete;
    OverrideCall& operator=(const OverrideCall&) = delete;

    const std::function<Signature>& Original() const noexcept { return original_; }

private:
    std::function<Signature>& slot_;
    std::function<Signature> original_;
};

}  // namespace pelorin::setup::testing
