#include "platform/handles.h"

#include <iterator>
#include <utility>

#include "platform/system_calls.h"

namespace pelorin::setup {

ScopedHandle::ScopedHandle(ScopedHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}

ScopedHandle& ScopedHandle::operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
    }
    return *this;
}

void ScopedHandle::Close() noexcept {
    const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    try {
        SystemCalls().CloseHandle(handle);
    } catch (...) {
        // Clean-up never throws.
    }
}

void HandleList::Append(ScopedHandle&& handle) {
    handles_.push_back(std::move(handle));
}

void HandleList::Clear() noexcept {
    while (!handles_.empty()) {
        handles_.pop_back();
    }
}

bool DirectoryPins::Contains(const std::wstring& path) const {
    return pins_.find(path) != pins_.end();
}

HANDLE DirectoryPins::Find(const std::wstring& path) const {
    const auto found = pins_.find(path);
    return found == pins_.end() ? INVALID_HANDLE_VALUE : found->second.Get();
}

void DirectoryPins::Insert(const std::wstring& path, ScopedHandle&& handle) {
    const auto [where, inserted] = pins_.try_emplace(path, std::move(handle));
    if (!inserted) {
        handle.Close();
    }
}

void DirectoryPins::Remove(const std::wstring& path) noexcept {
    const auto found = pins_.find(path);
    if (found != pins_.end()) {
        pins_.erase(found);
    }
}

std::vector<std::wstring> DirectoryPins::Paths() const {
    std::vector<std::wstring> paths;
    paths.reserve(pins_.size());
    for (const auto& pin : pins_) {
        paths.push_back(pin.first);
    }
    return paths;
}

void DirectoryPins::Clear() noexcept {
    while (!pins_.empty()) {
        pins_.erase(std::prev(pins_.end()));
    }
}

ComApartment::ComApartment(DWORD concurrencyModel)
    : result_(SystemCalls().CoInitializeEx(nullptr, concurrencyModel)) {}

ComApartment::~ComApartment() {
    if (result_ < 0) {
        return;
    }
    try {
        SystemCalls().CoUninitialize();
    } catch (...) {
        // Clean-up never throws.
    }
}

}  // namespace pelorin::setup
