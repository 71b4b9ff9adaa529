// The checking reader of the install marker. It lives in a file of its own
// because it needs the release archive's digest, which only an executable's
// one release definition provides.
#include <string>
#include <string_view>

#include "engine/contract.h"
#include "engine/product.h"
#include "payload/manifest.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {
namespace {

constexpr std::string_view MarkerFirstLine = "PELORIN-INSTALL-1";
constexpr std::size_t DigestLength = 64;

}  // namespace

std::string InstallMarkerHead() {
    std::string head;
    head.append(MarkerFirstLine).push_back('\n');
    head.append(ProductVersionUtf8).push_back('\n');
    head.append(ReleaseArchiveSha256).push_back('\n');
    return head;
}

std::string ReadInstallMarker(const std::wstring& installDirectory) {
    SystemCallTable& calls = SystemCalls();
    std::string content;
    {
        const ScopedHandle marker =
            OpenFileChecked(JoinPath(installDirectory, InstallMarkerName), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        LARGE_INTEGER size{};
        if (!calls.GetFileSizeEx(marker.Get(), &size) || size.QuadPart < 0 ||
            static_cast<std::uint64_t>(size.QuadPart) > MaxInstallMarkerSize) {
            ThrowFailure(FailureCode::VerificationFailed);
        }
        const auto expected = static_cast<DWORD>(size.QuadPart);
        content.resize(expected);
        DWORD read = 0;
        if (!calls.ReadFile(marker.Get(), content.data(), expected, &read, nullptr) || read != expected) {
            ThrowFailure(FailureCode::WriteFailed);
        }
    }
    const std::string head = InstallMarkerHead();
    if (content.size() != head.size() + DigestLength + 1 || !content.starts_with(head) || content.back() != '\n') {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    std::string digest = content.substr(head.size(), DigestLength);
    if (digest.find_first_not_of("0123456789abcdef") != std::string::npos) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    return digest;
}

}  // namespace pelorin::setup
