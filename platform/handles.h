// Scope-bound owners of kernel handles, of held folders and of the thread's
// COM apartment. Every handle closes through the system-call table.
#pragma once

#include <windows.h>

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelorin::setup {

// Owns one kernel handle (file, folder, mutex). NULL and INVALID_HANDLE_VALUE
// both mean "no handle"; anything else is closed when the owner goes.
class ScopedHandle {
public:
    ScopedHandle() noexcept = default;
    explicit ScopedHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~ScopedHandle() { Close(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    // Takes the other's handle and leaves INVALID_HANDLE_VALUE behind.
    ScopedHandle(ScopedHandle&& other) noexcept;
    // Closes its own handle first; self-assignment does nothing.
    ScopedHandle& operator=(ScopedHandle&& other) noexcept;

    HANDLE Get() const noexcept { return handle_; }
    bool IsValid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    // Closes the handle now (if any); the owner then holds none.
    void Close() noexcept;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A growable list of owned handles, closed from the last to the first.
class HandleList {
public:
    HandleList() = default;
    ~HandleList() { Clear(); }
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;

    // Moves the handle in; the source is left as INVALID_HANDLE_VALUE. Should
    // the list fail to grow, the source keeps its handle.
    void Append(ScopedHandle&& handle);
    std::size_t Size() const noexcept { return handles_.size(); }
    HANDLE operator[](std::size_t index) const noexcept { return handles_[index].Get(); }
    // Closes every handle, the last first.
    void Clear() noexcept;

private:
    std::vector<ScopedHandle> handles_;
};

// Held folders: the exact path text (compared code unit by code unit) mapped
// to an open handle on that folder. Several chains share their common
// prefixes. Handles close in reverse path order (deeper folders first) when
// the map is cleared or goes.
class DirectoryPins {
public:
    DirectoryPins() = default;
    ~DirectoryPins() { Clear(); }
    DirectoryPins(const DirectoryPins&) = delete;
    DirectoryPins& operator=(const DirectoryPins&) = delete;
    // Hands every held folder over; the source is left holding none. The
    // target first lets go of what it held.
    DirectoryPins(DirectoryPins&& other) noexcept : pins_(std::move(other.pins_)) { other.pins_.clear(); }
    DirectoryPins& operator=(DirectoryPins&& other) noexcept {
        if (this != &other) {
            Clear();
            pins_ = std::move(other.pins_);
            other.pins_.clear();
        }
        return *this;
    }

    bool Contains(const std::wstring& path) const;
    // The handle held for `path`, or INVALID_HANDLE_VALUE.
    HANDLE Find(const std::wstring& path) const;
    // Keeps `handle` under `path`; a path already held keeps its first handle
    // and the new one is closed. Should the map fail to grow, the source keeps
    // its handle.
    void Insert(const std::wstring& path, ScopedHandle&& handle);
    // Closes and forgets the handle of `path`, if held.
    void Remove(const std::wstring& path) noexcept;
    std::size_t Size() const noexcept { return pins_.size(); }
    std::vector<std::wstring> Paths() const;
    // Closes every handle.
    void Clear() noexcept;

private:
    std::map<std::wstring, ScopedHandle, std::less<>> pins_;
};

// Owns one reference to a COM interface and releases it when it goes.
template <typename Interface>
class ComReference {
public:
    ComReference() noexcept = default;
    ~ComReference() {
        if (pointer_ != nullptr) {
            pointer_->Release();
        }
    }
    ComReference(const ComReference&) = delete;
    ComReference& operator=(const ComReference&) = delete;

    Interface* Get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    // The slot for a call that hands out a reference; the owner holds none yet.
    Interface** Receive() noexcept { return &pointer_; }
    void** ReceiveVoid() noexcept { return reinterpret_cast<void**>(&pointer_); }

private:
    Interface* pointer_ = nullptr;
};

// The calling thread's COM apartment: CoInitializeEx(NULL, model) on creation
// and CoUninitialize on destruction, the latter only when the former did not
// fail (S_OK and S_FALSE both count). Created and destroyed on one thread.
class ComApartment {
public:
    explicit ComApartment(DWORD concurrencyModel);
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT Result() const noexcept { return result_; }
    bool Succeeded() const noexcept { return result_ >= 0; }

private:
    HRESULT result_;
};

}  // namespace pelorin::setup
