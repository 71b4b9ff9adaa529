// The download endpoint, fixed when the program is built: the product's host
// and port 443 for a release build, a loopback host and the local release
// server's port for development and test builds. The product's web host (a
// bare host name, shown to users and written into the Uninstall entry) is a
// build setting too. Nothing is read at run time.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace pelorin::setup {

extern const wchar_t DownloadHost[];
extern const INTERNET_PORT DownloadPort;
extern const wchar_t ProductWebHostName[];

}  // namespace pelorin::setup
