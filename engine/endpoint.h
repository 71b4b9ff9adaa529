// The download endpoint, fixed when the program is built: the product's host
// and port 443 for a release build, a loopback host and the local release
// server's port for development and test builds. Nothing is read at run time.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace pelorin::setup {

extern const wchar_t DownloadHost[];
extern const INTERNET_PORT DownloadPort;

}  // namespace pelorin::setup
