// The malformed release archives the installer must refuse, as changes to the
// well-formed entries of a release. The archive tests build them from the
// tiny release; the fuzzers' seed corpus from the fuzzers' release. Portable
// code (no system calls), like the ZIP writer.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/zip_writer.h"

namespace pelorin::setup::testing {

struct ArchiveChange {
    const char* what;
    std::function<void(std::vector<ZipEntry>&)> change;
    ZipOptions options;
};

// Archives the catalogue refuses. The entries are a release's, one per
// manifest row, at least seven, one of them with a non-ASCII name.
std::vector<ArchiveChange> CatalogRefusals();

// Archives the catalogue accepts but whose data fails extraction (corrupt
// DEFLATE data, a wrong CRC-32, other content of the right size and CRC-32),
// each in the largest entry.
std::vector<ArchiveChange> DataRefusals();

}  // namespace pelorin::setup::testing
