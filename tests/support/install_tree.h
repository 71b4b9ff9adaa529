// File helpers for tests that build and inspect installations. They call the
// system directly, never through the system-call table, so fakes in a test
// see only the calls of the code under test.
#pragma once

#include <string>

namespace pelorin::setup::testing {

// Deletes the product root with everything in it and creates it again, empty.
void ResetProductRoot();

// Deletes a file or a whole folder tree (read-only files included); an absent
// path is fine.
void RemoveTree(const std::wstring& path);

bool PathExists(const std::wstring& path);
bool FolderIsEmpty(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
void CreateFolders(const std::wstring& path);

// An environment variable of this process; empty when it is not set.
std::wstring EnvironmentVariable(const wchar_t* name);

}  // namespace pelorin::setup::testing
