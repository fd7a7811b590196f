#include "app/server_switch.h"

#include "platform/file_system.h"
#include "updater/manifest_meta.h"
#include "updater/server_profiles.h"

namespace kv::app {

using settings::SettingsFile;

std::string serverPath(const AppState& state, int server) {
  return state.baseFolder + "/" + updater::serverFolder(server);
}

void setPlayState(AppState& state, ui::WidgetState newState) {
  ui::Widget& play = state.ui.widgets[ui::kPlayWidget];
  if (play.state == newState) return;
  state.platform.window.invalidateRect(play.rect);
  play.state = newState;
}

void checkMachineIdentity(AppState& state) {
  const std::string identity = state.platform.machine.machineIdentity();
  state.settings.loadSettings(SettingsFile::System);
  if (state.settings.getString(SettingsFile::System, "machine_id") == identity) return;
  if (updater::isValidServer(state.currentServer)) {
    const std::string folder = serverPath(state, state.currentServer);
    (void)platform::removeFile(folder + "/manifest.json");
    (void)platform::removeFile(folder + "/manifest.meta");
  }
  state.settings.setString(SettingsFile::System, "machine_id", identity);
  state.settings.saveSettings(SettingsFile::System);
}

void loadServerSettings(AppState& state) {
  ui::AudioSettings& audio = state.ui.audio;
  audio.enableMusicSound = state.settings.getBool("enableMusicSound");
  audio.enableUISound = state.settings.getBool("enableUISound");
  audio.musicSoundVolume = state.settings.getInt(SettingsFile::Config, "musicSoundVolume", 100);
  audio.uiSoundVolume = state.settings.getInt(SettingsFile::Config, "uiSoundVolume", 100);
  audio.enableAudio = state.settings.getBool("enableAudio");

  const int server = state.currentServer;
  if (!updater::isValidServer(server)) return;
  updater::ServerRuntime& runtime = state.runtimes[static_cast<std::size_t>(server)];
  std::string stored = runtime.storedLastModified();
  if (updater::readManifestMeta(serverPath(state, server), stored)) {
    runtime.setStoredLastModified(stored);
  }
}

void startServerUpdater(AppState& state, int server, const ServerHooks& hooks) {
  if (!updater::isValidServer(server)) return;
  const auto index = static_cast<std::size_t>(server);
  if (state.runtimes[index].worker) return;
  ServerStatus& status = state.status[index];
  status.progress = 0.0f;
  status.statusText = kConnectingText;
  setPlayState(state, ui::WidgetState::Disabled);
  status.ready = false;
  state.platform.window.invalidate();
  auto worker = std::make_shared<updater::UpdaterWorker>(server);
  state.runtimes[index].worker = worker;
  if (hooks.runWorker) updater::startUpdaterWorker(worker, hooks.runWorker);
}

void switchServer(AppState& state, int target, const ServerHooks& hooks) {
  if (target == state.currentServer) return;
  if (!updater::isValidServer(target)) return;
  state.settings.saveSettings(SettingsFile::Config);
  state.currentServer = target;
  state.settings.unload(SettingsFile::Config, true);
  state.settings.loadSettings(SettingsFile::Config);
  state.settings.setInt(SettingsFile::System, "server", target);
  loadServerSettings(state);
  if (hooks.reloadUiResources) hooks.reloadUiResources();
  if (hooks.refreshConfigPathLine) hooks.refreshConfigPathLine();
  startServerUpdater(state, target, hooks);
  ServerStatus& status = state.status[static_cast<std::size_t>(target)];
  if (status.ready) {
    status.progress = 1.0f;
    status.statusText = kReadyText;
    setPlayState(state, ui::WidgetState::Normal);
  }
  state.platform.window.invalidate();
}

}  // namespace kv::app
