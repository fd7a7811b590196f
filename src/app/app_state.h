#pragma once

#include <array>
#include <string>

#include "platform/platform.h"
#include "settings/settings_store.h"
#include "ui/ui_state.h"
#include "updater/server_runtime.h"
#include "updater/site_config.h"

namespace kv::app {

// What the window shows for one server.
struct ServerStatus {
  float progress = 0.0f;   // 0..1, the progress bar
  std::string statusText;  // the line under the bar (UTF-8)
  bool ready = false;      // the client is up to date and may be started
};

inline constexpr const char* kWindowTitle = "Vandrel";
inline constexpr const char* kWindowClass = "Vandrel";
inline constexpr int kWindowWidth = 518;
inline constexpr int kWindowHeight = 324;
inline constexpr const char* kReadyText = "Client is ready to play";
inline constexpr const char* kConnectingText = "Connecting...";

// The launcher's single application state, owned by the main thread. Workers
// reach it only through posted reports (and the Last-Modified texts of
// ServerRuntime, which have their own lock).
struct AppState {
  AppState(platform::Platform& platformRef, settings::SettingsLocations locations)
      : platform(platformRef), settings(std::move(locations)) {}

  platform::Platform& platform;
  int currentServer = 2;
  settings::SettingsStore settings;
  std::array<ServerStatus, 3> status;           // [1] EU, [2] US
  std::array<updater::ServerRuntime, 3> runtimes;  // [1] EU, [2] US
  ui::UiState ui;
  updater::SiteConfig site;
  std::string clientBuild = "vdclient_dx_x64";
  std::string baseFolder = ".";  // the installation (working) folder
  bool quitting = false;
};

}  // namespace kv::app
