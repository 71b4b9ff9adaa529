// A fresh folder under the profile's local Temp folder for one test, removed
// with everything in it afterwards, and small file helpers. The helpers call
// the system directly, never through the system-call table, so fakes in a
// test see only the calls of the code under test.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace pelorin::setup::testing {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Root() const noexcept { return root_; }
    // Root joined with a relative name ('/' or '\' separated).
    std::wstring Path(std::wstring_view relative) const;

private:
    std::wstring root_;
};

// A handle opened by a test, to hold a file the way another process would.
class TestHandle {
public:
    explicit TestHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~TestHandle();
    TestHandle(TestHandle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    TestHandle& operator=(TestHandle&&) = delete;
    HANDLE Get() const noexcept { return handle_; }
    bool IsValid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Opens an existing file or folder with the given access and share mode.
TestHandle HoldOpen(const std::wstring& path, DWORD access, DWORD share);

void WriteTestFile(const std::wstring& path, std::string_view content);
// A file of `size` bytes, all zero, made by moving its end (no data written).
void MakeZeroFile(const std::wstring& path, std::uint64_t size);
std::string ReadTestFile(const std::wstring& path);
void MakeFolder(const std::wstring& path);
bool Exists(const std::wstring& path);
bool IsFolder(const std::wstring& path);
bool IsReparsePoint(const std::wstring& path);
void SetReadOnly(const std::wstring& path, bool readOnly);

// Bytes 0..n-1 of a fixed pattern that does not repeat every 64 KiB.
std::string PatternBytes(std::size_t n);

}  // namespace pelorin::setup::testing
