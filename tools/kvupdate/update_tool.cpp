#include "update_tool.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "client/client_names.h"
#include "console_dialogs.h"
#include "console_reports.h"
#include "settings/settings_store.h"
#include "update_arguments.h"
#include "updater/endpoints.h"
#include "updater/manifest_meta.h"
#include "updater/server_profiles.h"
#include "updater/server_runtime.h"
#include "updater/update_run.h"

namespace kv::tools {

ToolSettings readToolSettings(const std::string& folder) {
  settings::SettingsLocations locations;
  locations.executableDirectory = folder;
  const char* home = std::getenv("HOME");
  locations.profileFolder = home ? home : "";
  settings::SettingsStore store(locations);
  store.loadSettings(settings::SettingsFile::System);
  ToolSettings result;
  result.site.siteHost = store.getString(settings::SettingsFile::System, "siteHost");
  if (result.site.siteHost.empty()) result.site.siteHost = updater::defaultSiteHost();
  result.site.caFile = store.getString(settings::SettingsFile::System, "caFile");
  result.site.downloadConnections = updater::clampDownloadConnections(store.getInt(
      settings::SettingsFile::System, "downloadConnections", updater::kDefaultDownloadConnections));
  result.server = updater::normalizeServerIndex(
      store.getInt(settings::SettingsFile::System, "server", updater::kDefaultServer));
  return result;
}

std::string headlessClientBuild(bool is64Bit) {
  // Index: renderer (DirectX 0, OpenGL 1) + width (64-bit 0, 32-bit 2).
  return client::kClientBuildNames[is64Bit ? 0 : 2];
}

bool machineIs64Bit() {
  utsname name{};
  if (::uname(&name) != 0) return false;
  return std::strstr(name.machine, "64") != nullptr;
}

int runUpdateTool(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, bool terminal,
                  int columns) {
  UpdateArguments parsed;
  std::string error;
  switch (parseUpdateArguments(args, parsed, error)) {
    case UpdateParse::Help:
      std::fputs(updateUsage(), out);
      return 0;
    case UpdateParse::Misuse:
      std::fprintf(err, "kvupdate: %s\n", error.c_str());
      std::fputs(updateUsage(), err);
      return 2;
    case UpdateParse::Run:
      break;
  }
  std::error_code ec;
  const std::string folder = std::filesystem::current_path(ec).string();
  if (ec) {
    std::fprintf(err, "kvupdate: cannot read the current folder: %s\n", ec.message().c_str());
    return 1;
  }
  ToolSettings settings = readToolSettings(folder);
  if (parsed.server != 0) settings.server = parsed.server;

  updater::UpdaterWorker worker(settings.server);
  updater::ServerRuntime runtime;
  std::string stored;
  (void)updater::readManifestMeta(updater::serverFolder(settings.server), stored);
  runtime.setStoredLastModified(stored);

  ConsoleReports reports(out, terminal, columns);
  ConsoleDialogs dialogs(err);
  updater::UpdateContext context;
  context.worker = &worker;
  context.runtime = &runtime;
  context.reports = &reports;
  context.dialogs = &dialogs;
  context.site = settings.site;
  context.clientBuild = headlessClientBuild(machineIs64Bit());
  context.baseFolder = ".";
  updater::runUpdate(context);
  reports.finish();
  return reports.end() == RunEnd::Ready ? 0 : 1;
}

}  // namespace kv::tools
