#pragma once

#include <string>

namespace kv::updater {

// One game server: the label on its button and the folder that holds its
// client, resources and manifests (and names its remote folder and web
// sub-domain).
struct ServerProfile {
  const char* label;
  const char* folder;
};

inline constexpr int kFirstServer = 1;
inline constexpr int kLastServer = 2;
inline constexpr int kDefaultServer = 2;

// Whether index names a selectable server (1 or 2).
constexpr bool isValidServer(int index) { return index >= kFirstServer && index <= kLastServer; }

// The profile of a server; index 0 and anything invalid give the empty
// placeholder profile.
const ServerProfile& serverProfile(int index);

// The server's folder name ("eu", "us"), or "" for an invalid index.
std::string serverFolder(int index);

// A stored "server" value made selectable: anything but 1 or 2 becomes 2.
int normalizeServerIndex(int stored);

}  // namespace kv::updater
