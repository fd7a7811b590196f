#pragma once

#include "updater/http_transport.h"
#include "updater/site_config.h"

namespace kv::updater {

// Asks the site for the current launcher version text. True when it answered
// with a non-empty text that is not byte for byte "KVLauncher Version 0.29".
// A failed request, an empty answer or one above 4 KiB answers false (no
// newer launcher assumed). Worker thread.
[[nodiscard]] bool checkLauncherVersion(HttpTransport& transport, const SiteConfig& site);

}  // namespace kv::updater
