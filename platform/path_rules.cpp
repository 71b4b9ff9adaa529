// The path rules: pure functions of their text, with no system call.
#include "platform/path_rules.h"

#include "engine/contract.h"

namespace pelorin::setup {
namespace {

constexpr std::size_t MaxPathLength = 32000;
constexpr std::wstring_view ForbiddenPathCharacters = L":/\"<>|";

bool IsAcceptedComponent(std::wstring_view component) noexcept {
    if (component.empty() || component == L"." || component == L"..") {
        return false;
    }
    return component.find_first_of(ForbiddenPathCharacters) == std::wstring_view::npos;
}

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

}  // namespace pelorin::setup
