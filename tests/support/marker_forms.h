// The install marker as this program writes it and the near forms its reader
// must refuse. The marker tests write them to disk; the fuzzers' seed corpus
// takes them as they are. Built from the linked release's archive digest.
#pragma once

#include <string>
#include <vector>

namespace pelorin::setup::testing {

struct MarkerForm {
    const char* what;
    std::string content;
    bool accepted;
};

// The forms of a marker recording `uninstallerDigest` (64 lowercase hex digits).
std::vector<MarkerForm> InstallMarkerForms(const std::string& uninstallerDigest);

}  // namespace pelorin::setup::testing
