// The install marker's parse: the reader hands it whatever bytes the marker
// file holds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/install_marker_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pelorin::setup;
    using namespace pelorin::setup::fuzzing;
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    AllowFailure(FailureCode::VerificationFailed, [&] {
        const std::string digest = ParseInstallMarker(content);
        Check(digest.size() == 64 && digest.find_first_not_of("0123456789abcdef") == std::string::npos,
              "the digest is not 64 lowercase hexadecimal digits");
        Check(InstallMarkerHead() + digest + "\n" == content, "accepted content other than the written form");
    });
    return 0;
}
