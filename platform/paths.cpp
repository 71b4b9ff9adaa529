#include "platform/paths.h"

#include <memory>

#include "engine/contract.h"
#include "engine/product.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

constexpr std::size_t MaxUtf8Bytes = 32000;
constexpr DWORD ModulePathBufferLength = 32768;

struct CoTaskMemDeleter {
    void operator()(wchar_t* text) const noexcept { ::CoTaskMemFree(text); }
};

}  // namespace

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
