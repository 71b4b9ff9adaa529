// The release digest of the platform tests: the marker reader compares the
// second line of a marker with it. Real executables link a generated release.
#include "payload/manifest.h"

namespace pelorin::setup {

const char ReleaseArchiveSha256[] = "5f1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f9";

}  // namespace pelorin::setup
