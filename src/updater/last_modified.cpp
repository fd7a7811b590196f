#include "updater/last_modified.h"

#include "updater/endpoints.h"

namespace kv::updater {

bool fetchLastModified(HttpTransport& transport, const SiteConfig& site, const std::string& serverFolder,
                       ServerRuntime& runtime) {
  std::string value;
  if (!transport.getLastModified(quickManifestUrl(site, serverFolder), value)) return false;
  runtime.setRemoteLastModified(value);
  return !value.empty();
}

}  // namespace kv::updater
