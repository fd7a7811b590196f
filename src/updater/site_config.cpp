#include "updater/site_config.h"

namespace kv::updater {

std::string defaultSiteHost() { return KV_SITE_HOST_DEFAULT; }

}  // namespace kv::updater
