#pragma once

#include <string>

#include "updater/http_transport.h"
#include "updater/server_runtime.h"
#include "updater/site_config.h"

namespace kv::updater {

// Fetches the Last-Modified stamp of the server's quick-form manifest into
// runtime's remoteLastModified. When no response arrives the stored value is
// left as it was; a response without the header stores "". True when the
// value is not empty. Worker thread.
[[nodiscard]] bool fetchLastModified(HttpTransport& transport, const SiteConfig& site,
                                     const std::string& serverFolder, ServerRuntime& runtime);

}  // namespace kv::updater
