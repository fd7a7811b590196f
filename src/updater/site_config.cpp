#include "updater/site_config.h"

#include <algorithm>

namespace kv::updater {

std::string defaultSiteHost() { return KV_SITE_HOST_DEFAULT; }

int clampDownloadConnections(int value) {
  return std::clamp(value, kMinDownloadConnections, kMaxDownloadConnections);
}

std::int64_t clampDownloadLimit(std::int64_t value) {
  // Far beyond any line; keeps the byte rate from overflowing.
  constexpr std::int64_t kMostKBps = std::int64_t{1} << 40;
  return std::clamp<std::int64_t>(value, 0, kMostKBps);
}

}  // namespace kv::updater
