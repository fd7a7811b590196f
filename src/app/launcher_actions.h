#pragma once

#include <functional>

namespace kv::app {

// The launcher-level operations that widgets and option controls trigger but
// that belong to other subsystems. Bound once at start-up; main thread only.
struct LauncherActions {
  std::function<void()> shutdown;               // shutdownLauncher (callers save settings first)
  std::function<void()> play;                   // save settings, restore libraries, launch the client
  std::function<void(int)> switchServer;        // make server 1 or 2 current
  std::function<void()> toggleLocalConfig;      // the "Use local config for each server" checkbox
  std::function<void()> exportConfiguration;    // the Export button
  std::function<void()> importConfiguration;    // the Import button
  std::function<void()> resetConfiguration;     // the Delete button
};

}  // namespace kv::app
