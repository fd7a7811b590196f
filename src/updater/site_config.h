#pragma once

#include <string>

namespace kv::updater {

// Where the game's web site is and whom to trust for it. Read from the
// launcher settings ("siteHost", "caFile") at start-up; fixed afterwards, so
// workers may read it freely.
struct SiteConfig {
  std::string siteHost;  // host name with an optional ":port"
  std::string caFile;    // extra CA certificates to trust; empty: the system's
};

// The built-in host of the game's web site.
std::string defaultSiteHost();

}  // namespace kv::updater
