#pragma once

#include <cstdint>
#include <string>

namespace kv::updater {

inline constexpr int kDefaultDownloadConnections = 8;
inline constexpr int kMinDownloadConnections = 1;
inline constexpr int kMaxDownloadConnections = 32;

// Where the game's web site is and whom to trust for it. Read from the
// launcher settings ("siteHost", "caFile") at start-up; fixed afterwards, so
// workers may read it freely.
struct SiteConfig {
  std::string siteHost;  // host name with an optional ":port"
  std::string caFile;    // extra CA certificates to trust; empty: the system's
  // The most connections the downloads of one run open to the site
  // ("downloadConnections"); 1 fetches the files one after another.
  int downloadConnections = kDefaultDownloadConnections;
  // The most all the downloads of one run receive together, in KB/s of 1024
  // bytes ("downloadLimitKBps"); 0 sets no limit.
  std::int64_t downloadLimitKBps = 0;
};

// A "downloadLimitKBps" value made usable: a negative one sets no limit,
// like 0.
std::int64_t clampDownloadLimit(std::int64_t value);

// A "downloadConnections" value brought within
// kMinDownloadConnections..kMaxDownloadConnections.
int clampDownloadConnections(int value);

// The built-in host of the game's web site.
std::string defaultSiteHost();

}  // namespace kv::updater
