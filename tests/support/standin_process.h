// The stand-in application run by a test as a second process, holding the
// locks the real application holds until the test lets it go.
#pragma once

#include <windows.h>

#include <string>

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
