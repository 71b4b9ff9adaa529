// The installed uninstaller cannot remove the folder it runs from: started
// from there, it hands over to a verified copy of itself in a fresh folder
// under LocalAppData's "Temp", started with "--uninstall-relocated".
#pragma once

#include "engine/contract.h"

namespace pelorin::setup {

inline constexpr wchar_t RelocatedUninstallArgument[] = L"--uninstall-relocated";
inline constexpr wchar_t RelocationFolderPrefix[] = L"Pelorin-Uninstall-";
inline constexpr wchar_t RelocatedUninstallerName[] = L"Pelorin-Uninstall.exe";

// When the running program is the installed uninstaller: copies it (verified
// against the marker's digest), starts the copy and sets `relocated`. Any
// other program: code 0, `relocated` false, nothing done. Never throws.
OperationResult RelocateUninstaller(bool& relocated);

}  // namespace pelorin::setup
