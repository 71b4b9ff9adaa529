// The fault sweep: every entry of the system-call table, and every method the
// engine calls on the shell's link and stream objects, wrapped with a counter
// and an injector.
//
//   FaultSweep sweep;                       // counts every call from here on
//   Operation();
//   const int calls = sweep.Calls();
//   ...
//   FaultSweep failing({17}, Fault::AccessDenied);   // the 17th call fails
//   Operation();
//   failing.Injected();                     // which call that was
//
// A failed call returns what that call returns on Windows when it fails (the
// way the table's list names for the entry; E_FAIL for an object's method),
// with the fault's error where the call reports one. Calls that give a
// resource back are passed on first and then report a failure, so the
// resource is released either way; calls that cannot fail are only counted.
//
// While a sweep lives it also keeps the books of every resource acquired
// through the table (kernel, find, registry, WinHTTP, CNG handles, COM
// apartments and the wrapped objects), so a test can see that an operation
// released everything it took.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace pelorin::setup::testing {

enum class Fault {
    AccessDenied,      // every call that can fail
    DiskFull,          // calls that write
    SharingViolation,  // calls that open
};

const char* FaultName(Fault fault);

struct InjectedCall {
    int number;        // 1-based, in the order the calls were made
    std::string name;  // the table entry, or "Interface::Method"
};

class FaultSweep {
public:
    // Counts only.
    FaultSweep();
    // Fails the calls with these numbers with `fault`; a call that cannot
    // fail that way is passed on (and not reported as injected).
    FaultSweep(std::vector<int> failing, Fault fault);
    ~FaultSweep();
    FaultSweep(const FaultSweep&) = delete;
    FaultSweep& operator=(const FaultSweep&) = delete;

    int Calls() const;
    // The name of every call, in order.
    const std::vector<std::string>& Trace() const;
    const std::vector<InjectedCall>& Injected() const;
    // What was acquired while the sweep lived and is not released yet, one
    // line per resource kind ("3 kernel handles"); empty when all went back.
    std::vector<std::string> Unreleased() const;

    // Whether the call named `name` can be failed with `fault`.
    static bool CanFail(const std::string& name, Fault fault);
    // Whether the call named `name` gives a resource back (a close).
    static bool GivesBack(const std::string& name);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace pelorin::setup::testing
