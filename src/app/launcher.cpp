#include "app/launcher.h"

#include <memory>
#include <utility>
#include <vector>

#include "app/app_state.h"
#include "app/launcher_actions.h"
#include "app/server_switch.h"
#include "app/site_retry.h"
#include "app/window_procedure.h"
#include "base/launcher_files.h"
#include "base/path_text.h"
#include "client/build_selection.h"
#include "client/client_launch.h"
#include "client/library_fallback.h"
#include "settings/config_context.h"
#include "settings/config_export.h"
#include "settings/config_import.h"
#include "settings/config_placement.h"
#include "settings/config_reset.h"
#include "ui/ui_resources.h"
#include "updater/download_log.h"
#include "updater/server_profiles.h"
#include "updater/update_run.h"

namespace kv::app {
namespace {

using settings::SettingsFile;

// The launcher's state and the bindings between its subsystems. Lives for
// the whole process: detached workers may still read their records after
// the event loop ended.
class Launcher {
 public:
  Launcher(platform::Platform& platform, LauncherOptions options)
      : platform_(platform),
        options_(std::move(options)),
        state_(platform, settings::SettingsLocations{
                             folderOf(platform.machine.executablePath()),
                             platform.machine.profileFolder(),
                             [this] { return updater::serverFolder(state_.currentServer); },
                             [this](const std::string& line) {
                               updater::writeDownloadLog(joinPath(state_.baseFolder, kDownloadLogName), line);
                             }}),
        config_{state_.settings, platform.dialogs} {
    state_.ui.defaultArtFolder =
        joinPath(folderOf(platform.machine.executablePath()), kDefaultArtFolder);
    bindHooks();
    bindActions();
  }

  int run();

 private:
  void bindHooks();
  void bindActions();
  void readSiteConfig();
  void runtimeCheck();
  void chooseClientBuild();
  void play();
  void shutdownLauncher();
  std::string currentFolder() const { return serverPath(state_, state_.currentServer); }

  platform::Platform& platform_;
  LauncherOptions options_;
  AppState state_;
  ServerHooks hooks_;
  LauncherActions actions_;
  settings::ConfigActionContext config_;
  std::unique_ptr<LauncherWindowHandler> handler_;
  // The player's download limit, one for both servers' workers; made once
  // the site settings are read. Each run holds a reference of its own, so a
  // worker still running at exit keeps it alive.
  std::shared_ptr<updater::RateLimit> downloadLimit_;
};

void Launcher::bindHooks() {
  hooks_.reloadUiResources = [this] { reloadUiResources(state_); };
  hooks_.refreshConfigPathLine = [this] { refreshConfigPathLine(state_); };
  if (options_.runWorker) {
    hooks_.runWorker = options_.runWorker;
    return;
  }
  hooks_.runWorker = [this](updater::UpdaterWorker& worker) {
    updater::UpdateContext context;
    context.worker = &worker;
    context.runtime = &state_.runtimes[static_cast<std::size_t>(worker.server)];
    context.reports = &platform_.window;
    context.dialogs = &platform_.dialogs;
    context.site = state_.site;               // fixed before any worker starts
    context.clientBuild = state_.clientBuild;  // likewise
    context.baseFolder = state_.baseFolder;
    context.window = &platform_.window;
    context.rateLimit = downloadLimit_;
    runUntilSiteAnswers(context);
  };
}

void Launcher::bindActions() {
  config_.window = &platform_.window;
  config_.currentServer = [this] { return state_.currentServer; };
  config_.workingFolder = state_.baseFolder;
  config_.loadServerSettings = [this] { loadServerSettings(state_); };
  config_.recreateUiResources = [this] { reloadUiResources(state_); };
  config_.refreshUiAfterImport = [this] { refreshUiAfterImport(state_); };
  config_.refreshConfigPathLine = [this] { refreshConfigPathLine(state_); };

  actions_.shutdown = [this] { shutdownLauncher(); };
  actions_.play = [this] { play(); };
  actions_.switchServer = [this](int target) { switchServer(state_, target, hooks_); };
  actions_.toggleLocalConfig = [this] { settings::toggleLocalConfig(config_); };
  actions_.exportConfiguration = [this] { settings::exportConfiguration(config_); };
  actions_.importConfiguration = [this] { settings::importConfiguration(config_); };
  actions_.resetConfiguration = [this] { settings::resetConfiguration(config_); };
}

void Launcher::play() {
  state_.settings.saveAllSettings();
  const std::string folder = currentFolder();
  client::restoreGraphicsLibraries(folder, platform_.machine, platform_.dialogs,
                                   platform_.window);
  client::launchClient(folder, state_.clientBuild, platform_.shell, platform_.dialogs,
                       [this] { shutdownLauncher(); });
}

void Launcher::chooseClientBuild() {
  client::RendererChoice choice;
  client::probeOpenGL(platform_.machine, platform_.window, choice);
  state_.ui.rendererName = choice.rendererName;
  state_.clientBuild = client::clientBuildName(choice, platform_.machine);
}

void Launcher::readSiteConfig() {
  const std::string host = state_.settings.getString(SettingsFile::System, "siteHost");
  state_.site.siteHost = host.empty() ? updater::defaultSiteHost() : host;
  state_.site.caFile = state_.settings.getString(SettingsFile::System, "caFile");
  state_.site.downloadConnections = updater::clampDownloadConnections(state_.settings.getInt(
      SettingsFile::System, "downloadConnections", updater::kDefaultDownloadConnections));
  state_.site.downloadLimitKBps =
      updater::clampDownloadLimit(state_.settings.getInt(SettingsFile::System, "downloadLimitKBps", 0));
  downloadLimit_ = std::make_shared<updater::RateLimit>(state_.site.downloadLimitKBps * 1024);
}

void Launcher::runtimeCheck() {
  if (platform_.machine.runtimeInstalled()) return;
  platform_.dialogs.messageBox(platform::MessageOwner::None, kRuntimeMissingText,
                               kRuntimeMissingTitle, platform::MessageButtons::Ok,
                               platform::MessageIcon::Warning);
  platform_.shell.openUrl(kRuntimeDownloadPage);
}

void Launcher::shutdownLauncher() {
  if (state_.quitting) return;
  state_.quitting = true;
  ui::releaseUiResources(state_.ui);
  for (int server = updater::kFirstServer; server <= updater::kLastServer; ++server) {
    auto& runtime = state_.runtimes[static_cast<std::size_t>(server)];
    if (runtime.worker) updater::cancelAndDetach(*runtime.worker);
    runtime.worker.reset();
  }
  platform_.window.quit();
}

int Launcher::run() {
  if (!platform_.machine.claimSingleInstance(kWindowClass)) return 0;

  handler_ = std::make_unique<LauncherWindowHandler>(state_, actions_);
  platform_.window.create({kWindowTitle, kWindowWidth, kWindowHeight}, *handler_);

  state_.currentServer = updater::normalizeServerIndex(
      state_.settings.getInt(SettingsFile::System, "server", updater::kDefaultServer));
  readSiteConfig();
  checkMachineIdentity(state_);
  platform_.audio.openDevice();
  loadServerSettings(state_);
  loadUiResources(state_);
  platform_.window.show();
  platform_.window.update();
  runtimeCheck();
  chooseClientBuild();
  startServerUpdater(state_, state_.currentServer, hooks_);
  platform_.window.run();
  return 0;
}

}  // namespace

int runLauncher(platform::Platform& platform, LauncherOptions options) {
  // Never destroyed: workers that were detached at shutdown may still read
  // their records until the process exits. The list keeps every launcher
  // reachable, so a leak checker does not report it.
  static auto* const launchers = new std::vector<Launcher*>();
  launchers->push_back(new Launcher(platform, std::move(options)));
  return launchers->back()->run();
}

}  // namespace kv::app
