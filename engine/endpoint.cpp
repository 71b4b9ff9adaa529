#include "engine/endpoint.h"

#ifndef PELORIN_DOWNLOAD_HOST
#error "PELORIN_DOWNLOAD_HOST must be set by the build"
#endif
#ifndef PELORIN_DOWNLOAD_PORT
#error "PELORIN_DOWNLOAD_PORT must be set by the build"
#endif
#ifndef PELORIN_PRODUCT_WEB_HOST
#error "PELORIN_PRODUCT_WEB_HOST must be set by the build"
#endif

namespace pelorin::setup {

const wchar_t DownloadHost[] = PELORIN_DOWNLOAD_HOST;
const INTERNET_PORT DownloadPort = PELORIN_DOWNLOAD_PORT;
const wchar_t ProductWebHostName[] = PELORIN_PRODUCT_WEB_HOST;

}  // namespace pelorin::setup
