#include "updater/server_profiles.h"

#include <array>

namespace kv::updater {
namespace {

constexpr std::array<ServerProfile, 3> kProfiles{{
    {"", ""},
    {"EU", "eu"},
    {"US", "us"},
}};

}  // namespace

const ServerProfile& serverProfile(int index) {
  return isValidServer(index) ? kProfiles[static_cast<std::size_t>(index)] : kProfiles[0];
}

std::string serverFolder(int index) { return serverProfile(index).folder; }

int normalizeServerIndex(int stored) { return isValidServer(stored) ? stored : kDefaultServer; }

}  // namespace kv::updater
