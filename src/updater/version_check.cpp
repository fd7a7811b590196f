#include "updater/version_check.h"

#include "updater/endpoints.h"

namespace kv::updater {

bool checkLauncherVersion(HttpTransport& transport, const SiteConfig& site) {
  std::string body;
  if (!transport.getBody(versionUrl(site), kVersionBodyLimit, body)) return false;
  if (body.empty()) return false;
  // Compared byte for byte: no decoding, no trimming of blanks or line ends.
  return body != kLauncherVersionText;
}

}  // namespace kv::updater
