// The marker's head needs the release archive's digest, which only an
// executable's one release definition provides.
#include "platform/install_marker_format.h"

#include "engine/contract.h"
#include "engine/product.h"
#include "payload/manifest.h"

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

std::string ParseInstallMarker(std::string_view content) {
    const std::string head = InstallMarkerHead();
    if (content.size() != head.size() + DigestLength + 1 || !content.starts_with(head) || content.back() != '\n') {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    std::string digest(content.substr(head.size(), DigestLength));
    if (digest.find_first_not_of("0123456789abcdef") != std::string::npos) {
        ThrowFailure(FailureCode::VerificationFailed);
    }
    return digest;
}

}  // namespace pelorin::setup
