// The reader of the install marker: it reads the file and hands its bytes to
// the format's parse.
#include <string>

#include "engine/contract.h"
#include "engine/product.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_calls.h"

namespace pelorin::setup {

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
    return ParseInstallMarker(content);
}

}  // namespace pelorin::setup
