#include "platform/paths.h"

#include <memory>

#include "engine/contract.h"
#include "engine/product.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

constexpr std::size_t MaxPathLength = 32000;
constexpr std::size_t MaxUtf8Bytes = 32000;
constexpr DWORD ModulePathBufferLength = 32768;
constexpr std::wstring_view ForbiddenPathCharacters = L":/\"<>|";

bool IsAcceptedComponent(std::wstring_view component) noexcept {
    if (component.empty() || component == L"." || component == L"..") {
        return false;
    }
    return component.find_first_of(ForbiddenPathCharacters) == std::wstring_view::npos;
}

struct CoTaskMemDeleter {
    void operator()(wchar_t* text) const noexcept { ::CoTaskMemFree(text); }
};

}  // namespace

bool IsAcceptedPath(std::wstring_view path) noexcept {
    if (path.size() < 3 || path.size() > MaxPathLength) {
        return false;
    }
    if (path[1] != L':' || path[2] != L'\\') {
        return false;
    }
    std::size_t start = 3;
    while (start < path.size()) {
        const std::size_t end = path.find(L'\\', start);
        const std::size_t stop = end == std::wstring_view::npos ? path.size() : end;
        if (!IsAcceptedComponent(path.substr(start, stop - start))) {
            return false;
        }
        if (end == std::wstring_view::npos) {
            break;
        }
        start = end + 1;  // a single backslash at the very end ends the loop here
    }
    return true;
}

std::wstring ToLongPath(std::wstring_view path) {
    if (!IsAcceptedPath(path)) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    std::wstring result(L"\\\\?\\");
    result.append(path);
    return result;
}

std::wstring JoinPath(std::wstring_view base, std::wstring_view relative) {
    std::wstring result;
    result.reserve(base.size() + 1 + relative.size());
    result.append(base);
    result.push_back(L'\\');
    for (const wchar_t c : relative) {
        result.push_back(c == L'/' ? L'\\' : c);
    }
    return result;
}

std::wstring ParentPath(std::wstring_view path) {
    const std::size_t last = path.rfind(L'\\');
    if (last == std::wstring_view::npos || last < 2) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    return std::wstring(path.substr(0, last));
}

std::wstring TrimTrailingBackslashes(std::wstring text) {
    while (text.size() > 3 && text.back() == L'\\') {
        text.pop_back();
    }
    return text;
}

std::wstring KnownFolderPath(REFKNOWNFOLDERID id) {
    PWSTR raw = nullptr;
    const HRESULT hr = SystemCalls().SHGetKnownFolderPath(id, 0, nullptr, &raw);
    const std::unique_ptr<wchar_t, CoTaskMemDeleter> owned(raw);  // freed on failure too
    if (FAILED(hr) || raw == nullptr) {
        ThrowFailure(FailureCode::WriteFailed);
    }
    std::wstring text = TrimTrailingBackslashes(std::wstring(raw));
    if (!IsAcceptedPath(text)) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    return text;
}

std::wstring ProductRootDirectory() {
    return JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Programs\\Pelorin");
}

std::wstring InstallDirectory() {
    return JoinPath(ProductRootDirectory(), ProductVersion);
}

std::wstring InstallDirectoryOrEmpty() noexcept {
    try {
        return InstallDirectory();
    } catch (...) {
        return std::wstring();
    }
}

std::wstring DataDirectory() {
    return JoinPath(KnownFolderPath(FOLDERID_LocalAppData), L"Pelorin\\Windows");
}

std::wstring StartMenuShortcutPath() {
    return JoinPath(KnownFolderPath(FOLDERID_Programs), L"Pelorin.lnk");
}

std::wstring DesktopShortcutPath() {
    return JoinPath(KnownFolderPath(FOLDERID_Desktop), L"Pelorin.lnk");
}

std::wstring OwnExecutablePath() {
    std::wstring buffer(ModulePathBufferLength, L'\0');
    const DWORD length = SystemCalls().GetModuleFileNameW(nullptr, buffer.data(), ModulePathBufferLength);
    if (length == 0 || length >= ModulePathBufferLength) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    buffer.resize(length);
    if (!IsAcceptedPath(buffer)) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    return buffer;
}

std::wstring Utf8ToWide(std::string_view text) {
    if (text.size() > MaxUtf8Bytes) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    const int inputLength = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), inputLength, nullptr, 0);
    if (length <= 0) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    const int converted =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), inputLength, result.data(), length);
    if (converted != length) {
        ThrowFailure(FailureCode::InstallFolderRejected);
    }
    return result;
}

bool SamePath(const std::wstring& a, const std::wstring& b) noexcept {
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace pelorin::setup
