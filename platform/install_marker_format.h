// The content of the install marker: its fixed head and its checking parse.
// Portable code: it takes the marker's bytes; platform/files.h reads them.
#pragma once

#include <string>
#include <string_view>

namespace pelorin::setup {

// The first 89 bytes of every install marker this program writes: the magic
// line, the version and the release archive's digest, each ended by a line
// feed. The uninstaller's digest and a line feed follow.
std::string InstallMarkerHead();

// The uninstaller digest recorded in a marker's content: 64 lowercase
// hexadecimal digits. VerificationFailed unless the content is exactly the
// head, such a digest and a line feed.
std::string ParseInstallMarker(std::string_view content);

}  // namespace pelorin::setup
