#pragma once

#include <memory>

#include "platform/web_requests.h"
#include "updater/curl_transport.h"
#include "updater/http_transport.h"

namespace kv::updater {

// The HttpTransport of an update run: where the system has an HTTP client of
// its own, it makes the small requests (manifests, version, Last-Modified)
// and libcurl the downloads; elsewhere libcurl makes everything.
std::unique_ptr<HttpTransport> makeSiteTransport(const CurlTransportOptions& options);

// The small requests of small, the downloads of downloads.
std::unique_ptr<HttpTransport> combineTransports(std::unique_ptr<platform::WebRequests> small,
                                                 std::unique_ptr<HttpTransport> downloads);

}  // namespace kv::updater
