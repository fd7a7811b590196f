#include "update_harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>

#include "kvpublish/publish.h"
#include "platform/fake/fake_platform.h"
#include "updater/curl_transport.h"
#include "updater/manifest.h"
#include "updater/manifest_meta.h"
#include "updater/server_profiles.h"
#include "updater/server_runtime.h"
#include "updater/update_run.h"

namespace fs = std::filesystem;

namespace kv::test {

std::vector<std::string> RecordedRun::events() const {
  std::vector<std::string> out;
  for (const auto& r : reports) {
    switch (r.kind) {
      case platform::ReportKind::Status:
        if (r.text.rfind("Downloading: ", 0) != 0) out.push_back("STATUS " + r.text);
        break;
      case platform::ReportKind::Error: out.push_back("ERROR " + r.text); break;
      case platform::ReportKind::Ready: out.push_back("READY"); break;
      case platform::ReportKind::Progress: break;
    }
  }
  return out;
}

bool RecordedRun::ready() const {
  return !reports.empty() && reports.back().kind == platform::ReportKind::Ready;
}

RecordedRun runUpdateOnce(const std::string& siteHost, const std::string& caFile, const std::string& baseFolder,
                          const RunOptions& options) {
  updater::UpdaterWorker worker(options.server);
  updater::ServerRuntime runtime;
  std::string stored;
  (void)updater::readManifestMeta(baseFolder + "/" + updater::serverFolder(options.server), stored);
  runtime.setStoredLastModified(stored);
  platform::fake::FakeWindow sink;  // keeps the posted reports
  platform::fake::FakeDialogs dialogs;
  RecordedRun run;
  updater::UpdateContext context;
  context.worker = &worker;
  context.runtime = &runtime;
  context.reports = &sink;
  context.dialogs = &dialogs;
  context.site.siteHost = siteHost;
  context.site.caFile = caFile;
  context.site.downloadConnections = options.connections;
  context.clientBuild = options.build;
  context.baseFolder = baseFolder;
  context.retryPause = std::chrono::milliseconds(0);
  context.rateLimit = options.rateLimit;
  std::unique_ptr<updater::HttpTransport> transport;
  if (options.connectTimeoutSeconds > 0) {
    updater::CurlTransportOptions transportOptions;
    transportOptions.caFile = caFile;
    transportOptions.connectTimeoutSeconds = options.connectTimeoutSeconds;
    transport = updater::makeCurlTransport(transportOptions);
    context.transport = transport.get();
  }
  context.beforeCheck = [&] {
    ++run.checks;
    if (run.checks == options.cancelAtCheck) {
      run.reportsAtCancel = sink.queuedReports().size();
      if (options.onCancel) options.onCancel();
      worker.cancel.store(true);
    }
  };
  updater::runUpdate(context);
  run.reports = sink.takeReports();
  for (const platform::fake::ShownBox& box : dialogs.boxes()) run.boxes.emplace_back(box.title, box.text);
  return run;
}

Sandbox::Sandbox() {
  fs::create_directories(client(1));
  fs::create_directories(client(2));
  fs::create_directories(site());
  fs::create_directories(install());
  writeFile(outside() + "/canary.bin", std::string("\x00\x01" "canary" "\xff", 9));
}

std::string Sandbox::client(int server) const { return dir_ / ("client-" + updater::serverFolder(server)); }

std::string Sandbox::serverDir(int server) const { return install() + "/" + updater::serverFolder(server); }

void Sandbox::publish(int server, const std::string& versionText) const {
  tools::PublishReport report;
  const bool ok = tools::publishClient({updater::serverFolder(server), versionText, client(server), site()}, report);
  ASSERT_TRUE(ok) << ::testing::PrintToString(report.problems);
}

std::string Sandbox::quickStamp(int server) const {
  return httpDate(mtimeOf(site() + "/download/" + updater::serverFolder(server) + "/manifest.php"));
}

std::string httpDate(std::time_t when) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  ::gmtime_r(&when, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
                months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buffer;
}

std::time_t mtimeOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mtim.tv_sec;
}

void setMtime(const std::string& path, std::time_t when) {
  timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

void expectConverged(const Sandbox& sandbox, const std::string& installDir, int server, const std::string& build,
                     const std::string& stamp) {
  const std::string folder = updater::serverFolder(server);
  const std::string serverDir = installDir + "/" + folder;
  const std::string published = readFile(sandbox.site() + "/download/" + folder + "/manifest.json");
  updater::ManifestMap remote;
  ASSERT_TRUE(updater::readRemoteManifest(published, build, remote)) << published;
  updater::ManifestMap local;
  ASSERT_TRUE(updater::readLocalManifest(serverDir, local));
  for (const auto& [path, entry] : remote) {
    const auto it = local.find(path);
    ASSERT_NE(it, local.end()) << path << " missing from the local manifest";
    EXPECT_EQ(it->second.hash, entry.hash) << path;
    EXPECT_EQ(it->second.size, entry.size) << path;
    const std::string installed = serverDir + "/" + path;
    const bool archive = path.size() > 4 && path.compare(path.size() - 4, 4, ".zip") == 0 && path != "oldlibs.zip";
    if (archive) {
      EXPECT_FALSE(exists(installed)) << path << " should be unpacked and deleted";
    } else {
      EXPECT_EQ(readFile(installed), readFile(sandbox.client(server) + "/" + path)) << path;
    }
  }
  EXPECT_EQ(readFile(serverDir + "/manifest.meta"), "Last-Modified: " + stamp + "\n");
  for (const auto& [path, content] : snapshotTree(serverDir)) {
    EXPECT_NE(path.rfind("manifest.json.", 0), 0u) << "leftover " << path;
    EXPECT_NE(path.rfind("manifest.meta.", 0), 0u) << "leftover " << path;
    EXPECT_EQ(path.find(".kvpart"), std::string::npos) << "leftover " << path;
  }
}

}  // namespace kv::test
