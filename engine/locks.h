// The environment check and the locks that keep a second installer or
// uninstaller and the running application out for a whole operation: two lock
// files opened without sharing and one named mutex, all shared by name with
// the application.
#pragma once

#include <memory>

#include "platform/handles.h"

namespace pelorin::setup {

inline constexpr wchar_t InstallerLockName[] = L"installer.lock";
inline constexpr wchar_t SessionLockName[] = L"session.lock";
inline constexpr wchar_t EngineMutexName[] = L"Global\\Pelorin.Engine.v1";

struct EngineLocks {
    DirectoryPins pins;          // the product root's and the data folder's chains
    ScopedHandle installerLock;  // "installer.lock" in the product root
    ScopedHandle sessionLock;    // "session.lock" in the data folder
    ScopedHandle engineMutex;    // the engine mutex, held open, never waited on

    EngineLocks() = default;
    // Closes the mutex, the session lock, the installer lock, then the pins.
    ~EngineLocks();
    EngineLocks(const EngineLocks&) = delete;
    EngineLocks& operator=(const EngineLocks&) = delete;
};

// Refuses a machine that is not x64 (UnsupportedSystem), then takes every
// lock; a lock held by anyone else is AppRunning. With `createFolders` the
// product root is created when missing; the data folder always is.
std::unique_ptr<EngineLocks> AcquireEngineLocks(bool createFolders);

}  // namespace pelorin::setup
