// What an install leaves for the user, read and reset by tests: the product
// folders, the uninstall entry and both shortcuts. Direct system calls only.
#pragma once

#include <string>

namespace pelorin::setup::testing {

// Removes the product root, the data folder, the uninstall entry and both
// shortcuts.
void ResetProductState();

bool UninstallEntryExists();
// A string value of the uninstall entry; empty when absent.
std::wstring UninstallEntryString(const wchar_t* name);
// Number of values in the uninstall entry; -1 when the key is absent.
int UninstallEntryValueCount();
// Writes one string value into the uninstall entry (creating the key).
void SetUninstallEntryString(const wchar_t* name, const std::wstring& value);

// The ".stage-" folders in the product root.
int StagingFolderCount();

}  // namespace pelorin::setup::testing
