#include "updater/site_config.h"

#include <algorithm>

namespace kv::updater {

std::string defaultSiteHost() { return KV_SITE_HOST_DEFAULT; }

int clampDownloadConnections(int value) {
  return std::clamp(value, kMinDownloadConnections, kMaxDownloadConnections);
}

}  // namespace kv::updater
