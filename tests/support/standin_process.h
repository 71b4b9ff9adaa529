// The stand-in application run by a test as a second process, holding the
// locks the real application holds until the test lets it go.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace pelorin::setup::testing {

class StandInProcess {
public:
    // Starts the stand-in (PELORIN_TEST_STANDIN names it) and waits until it
    // holds its locks. Throws when it cannot be started or does not get there.
    StandInProcess();
    // Lets it go and waits for it to end.
    ~StandInProcess();
    StandInProcess(const StandInProcess&) = delete;
    StandInProcess& operator=(const StandInProcess&) = delete;

    // Asks it to exit and returns its exit code.
    DWORD Stop();

private:
    HANDLE exitEvent_ = nullptr;
    PROCESS_INFORMATION process_{};
    bool stopped_ = false;
};

// The stand-in's path, from PELORIN_TEST_STANDIN.
std::wstring StandInPath();

}  // namespace pelorin::setup::testing

namespace pelorin::setup::testing {

// Steers every stand-in that this process starts while it lives (through the
// environment it inherits): no message boxes, a record of its command line and
// folder in a file of its own, and one exit event for all of them.
class StandInSteering {
public:
    StandInSteering();
    // Sets the exit event, waits until no stand-in holds its locks any more,
    // and clears the environment again.
    ~StandInSteering();
    StandInSteering(const StandInSteering&) = delete;
    StandInSteering& operator=(const StandInSteering&) = delete;

    // Also asks the next stand-ins whether `handle` is open in their process.
    void ProbeHandle(HANDLE handle);

    // The record of a started stand-in (command line, folder, [probe]) as
    // lines; empty when none appeared within `milliseconds`.
    std::vector<std::string> WaitForRecord(DWORD milliseconds = 20000) const;
    bool RecordExists() const;

private:
    std::wstring record_;
    HANDLE exitEvent_ = nullptr;
};

}  // namespace pelorin::setup::testing
