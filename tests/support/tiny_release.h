// The tiny release: a hand-made release of seven files (nested folders, a
// Cyrillic name, one file spanning several DEFLATE blocks) whose table this
// test program links instead of a generated one. Its archive is written by
// the test ZIP writer and padded to the table's archive size, so malformed
// variants can be made entry by entry.
#pragma once

#include <string>
#include <vector>

#include "tests/support/zip_writer.h"

namespace pelorin::setup::testing {

// The content of manifest row `row`.
const std::string& TinyFileContent(std::size_t row);

// One well-formed archive entry per manifest row, in manifest order.
std::vector<ZipEntry> TinyReleaseEntries();

// The archive of `entries`, padded to the release archive size.
std::string TinyReleaseArchive(const std::vector<ZipEntry>& entries);

}  // namespace pelorin::setup::testing

namespace pelorin::setup::testing {

// Installs the tiny release the way a fresh install does (staging folder,
// extraction, uninstaller copy, marker, one rename) into InstallDirectory().
void InstallTinyRelease();

}  // namespace pelorin::setup::testing
