#include "update_tool.h"

#include <chrono>
#include <filesystem>
#include <set>

#include "client/build_selection.h"
#include "console_dialogs.h"
#include "console_reports.h"
#include "figures.h"
#include "platform/machine.h"
#include "file_hash.h"
#include "printable_text.h"
#include "settings/settings_store.h"
#include "update_arguments.h"
#include "archive/file_crc.h"
#include "updater/install_record.h"
#include "updater/endpoints.h"
#include "updater/install_check.h"
#include "updater/manifest_meta.h"
#include "updater/server_profiles.h"
#include "updater/server_runtime.h"
#include "updater/update_run.h"

namespace kv::tools {

ToolSettings readToolSettings(const std::string& folder, const std::string& profileFolder) {
  settings::SettingsLocations locations;
  locations.executableDirectory = folder;
  locations.profileFolder = profileFolder;
  settings::SettingsStore store(locations);
  store.loadSettings(settings::SettingsFile::System);
  ToolSettings result;
  result.site.siteHost = store.getString(settings::SettingsFile::System, "siteHost");
  if (result.site.siteHost.empty()) result.site.siteHost = updater::defaultSiteHost();
  result.site.caFile = store.getString(settings::SettingsFile::System, "caFile");
  result.site.downloadConnections = updater::clampDownloadConnections(store.getInt(
      settings::SettingsFile::System, "downloadConnections", updater::kDefaultDownloadConnections));
  result.site.downloadLimitKBps =
      updater::clampDownloadLimit(store.getInt(settings::SettingsFile::System, "downloadLimitKBps", 0));
  result.server = updater::normalizeServerIndex(
      store.getInt(settings::SettingsFile::System, "server", updater::kDefaultServer));
  return result;
}

std::string headlessClientBuild(bool is64Bit) { return client::clientBuildName(/*rendererIsDirectX=*/true, is64Bit); }

std::string runSummary(const std::string& serverFolder, const updater::ManifestMap& before,
                       const updater::ManifestMap& after, const std::set<std::string>& repaired,
                       std::int64_t fetchedBytes, double seconds, RunEnd end, const std::string& errorText,
                       const std::string& reason) {
  std::size_t files = 0;
  std::int64_t bytes = 0;
  for (const auto& [path, entry] : after) {
    const auto old = before.find(path);
    if (old != before.end() && old->second.hash == entry.hash && old->second.size == entry.size &&
        repaired.count(path) == 0) {
      continue;
    }
    ++files;
    bytes += entry.size;
  }
  std::string state = "no answer";
  if (end == RunEnd::Ready) state = "client ready";
  if (end == RunEnd::Error) {
    state = "not ready: " + printableText(errorText);
    if (!reason.empty()) state += " (" + printableText(reason) + ")";
  }
  return "Summary: " + serverFolder + ": " + std::to_string(files) + (files == 1 ? " file" : " files") +
         " updated, " + byteText(fetchedBytes) + " fetched of " + byteText(bytes) + " in " + durationText(seconds) +
         ", " + state;
}

bool contentMatches(const std::string& path, const updater::ManifestEntry& entry) {
  if (const std::optional<std::uint32_t> crc = updater::crc32OfHashText(entry.hash)) {
    return archive::fileCrc32(path) == crc;  // a file an archive unpacked
  }
  if (!updater::isSha256Hex(entry.hash)) return true;
  std::string digest;
  std::int64_t size = 0;
  std::string error;
  return hashFile(path, digest, size, error) && updater::matchesSha256(digest, entry.hash);
}

std::vector<std::string> verifyLines(const std::string& serverFolder, std::size_t checked,
                                     const std::set<std::string>& damaged, const std::set<std::string>& repaired) {
  std::vector<std::string> lines;
  lines.push_back("Verify: " + serverFolder + ": " + std::to_string(checked) + (checked == 1 ? " file" : " files") +
                  " checked, " + std::to_string(damaged.size()) + " damaged, " + std::to_string(repaired.size()) +
                  " repaired");
  for (const std::string& path : damaged) {
    lines.push_back("  damaged: " + printableText(serverFolder + "/" + path) +
                    (repaired.count(path) != 0 ? ", repaired" : ", not repaired"));
  }
  return lines;
}

int runUpdateTool(const std::vector<std::string>& args, platform::Machine& machine, std::FILE* out, std::FILE* err,
                  bool terminal, int columns) {
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
  ToolSettings settings = readToolSettings(folder, machine.profileFolder());
  if (parsed.server != 0) settings.server = parsed.server;
  if (parsed.limitRateKBps) settings.site.downloadLimitKBps = *parsed.limitRateKBps;

  updater::UpdaterWorker worker(settings.server);
  updater::ServerRuntime runtime;
  std::string stored;
  (void)updater::readManifestMeta(updater::serverFolder(settings.server), stored);
  runtime.setStoredLastModified(stored);

  const std::string serverDir = updater::serverFolder(settings.server);
  updater::ManifestMap before;
  if (!updater::readLocalManifest(serverDir, before)) before.clear();
  const auto start = std::chrono::steady_clock::now();

  ConsoleReports reports(out, terminal, columns);
  ConsoleDialogs dialogs(err);
  updater::UpdateContext context;
  context.worker = &worker;
  context.runtime = &runtime;
  context.reports = &reports;
  context.dialogs = &dialogs;
  context.site = settings.site;
  context.clientBuild = headlessClientBuild(machine.is64Bit());
  context.baseFolder = ".";
  // A second updater of the same folder ends at once with its reason.
  context.waitForOtherUpdate = false;
  context.onDownloadFailure = [&dialogs](const updater::DownloadFailure& failure) {
    dialogs.noteDownloadFailure(failure);
  };
  std::int64_t fetched = 0;
  context.onFetched = [&fetched](std::int64_t bytes) { fetched = bytes; };
  std::size_t checked = 0;
  std::set<std::string> damaged;
  if (parsed.verify) context.contentCheck = contentMatches;
  context.onStartCheck = [&](std::size_t count, const std::set<std::string>& found) {
    checked = count;
    damaged = found;
  };
  updater::runUpdate(context);
  reports.finish();
  // Why the site could not be asked, and which; the report's own text went
  // to out. The summary repeats the reason standard error gave: the site's,
  // else the last failed download's.
  std::string reason;
  if (reports.end() == RunEnd::Error && !reports.errorReason().empty()) {
    reason = settings.site.siteHost + ": " + reports.errorReason();
    std::fprintf(err, "kvupdate: %s\n", printableText(reason).c_str());
  } else if (reports.end() == RunEnd::Error) {
    reason = dialogs.lastDownloadFailure();
  }

  updater::ManifestMap after;
  if (!updater::readLocalManifest(serverDir, after)) after.clear();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // A damaged file counts as repaired once it is recorded again and passes
  // the same check.
  std::set<std::string> repaired;
  updater::UnpackedFiles unpacked;
  (void)updater::readUnpackedRecord(serverDir, unpacked);
  for (const std::string& path : damaged) {
    std::optional<updater::ManifestEntry> recorded;
    if (const auto entry = after.find(path); entry != after.end()) {
      recorded = entry->second;
    } else if (const auto file = unpacked.find(path); file != unpacked.end()) {
      recorded = updater::ManifestEntry{path, updater::crc32HashText(file->second.crc32), file->second.size};
    }
    const std::string local = serverDir + "/" + path;
    if (recorded && updater::isWholeFile(local, *recorded) && (!parsed.verify || contentMatches(local, *recorded))) {
      repaired.insert(path);
    }
  }
  if (parsed.verify) {
    for (const std::string& line : verifyLines(serverDir, checked, damaged, repaired)) {
      std::fprintf(out, "%s\n", line.c_str());
    }
  }
  std::fprintf(
      out, "%s\n",
      runSummary(serverDir, before, after, repaired, fetched, seconds, reports.end(), reports.errorText(), reason)
          .c_str());
  std::fflush(out);
  return reports.end() == RunEnd::Ready ? 0 : 1;
}

}  // namespace kv::tools
