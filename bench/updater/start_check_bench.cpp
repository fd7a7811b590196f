// Times, inside one process, the check of the installed files that starts
// every update run, whole update runs of the same installation against its
// unchanged site, and whole runs of a second installation of one file,
// taking turns. Run in a launcher folder whose "system.kvml" names the site;
// prints one line of JSON:
// {"files": N, "check_ms": [...], "run_ms": [...], "one_file_run_ms": [...]}.
//
// Usage: kv_start_check_bench SERVER ONE_FILE_SERVER ROUNDS
//        (servers: 1 = eu, 2 = us)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/linux_platform.h"
#include "update_tool.h"
#include "updater/endpoints.h"
#include "updater/install_check.h"
#include "updater/manifest_meta.h"
#include "updater/server_profiles.h"
#include "updater/server_runtime.h"
#include "updater/update_run.h"

namespace {

using Clock = std::chrono::steady_clock;

class ReadySink : public kv::platform::ReportSink {
 public:
  bool post(kv::platform::Report report) override {
    if (report.kind == kv::platform::ReportKind::Ready) ready = true;
    if (report.kind == kv::platform::ReportKind::Error) error = report.text;
    return true;
  }
  bool ready = false;
  std::string error;
};

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One update run of server in the working folder against the site of
// settings; its wall time in milliseconds, or a negative value when it did
// not end ready.
double timedRun(const kv::tools::ToolSettings& settings, bool is64Bit, int server) {
  const std::string serverDir = kv::updater::serverFolder(server);
  kv::updater::UpdaterWorker worker(server);
  kv::updater::ServerRuntime runtime;
  std::string stored;
  (void)kv::updater::readManifestMeta(serverDir, stored);
  runtime.setStoredLastModified(stored);
  ReadySink sink;
  kv::updater::UpdateContext context;
  context.worker = &worker;
  context.runtime = &runtime;
  context.reports = &sink;
  context.site = settings.site;
  context.clientBuild = kv::tools::headlessClientBuild(is64Bit);
  context.baseFolder = ".";
  const Clock::time_point start = Clock::now();
  kv::updater::runUpdate(context);
  const double ms = millisecondsSince(start);
  if (!sink.ready) {
    std::fprintf(stderr, "kv_start_check_bench: the run of server %d did not end ready: %s\n", server,
                 sink.error.c_str());
    return -1;
  }
  return ms;
}

std::string list(const std::vector<double>& values) {
  std::string text = "[";
  for (const double value : values) {
    char piece[32];
    std::snprintf(piece, sizeof piece, "%s%.3f", text.size() > 1 ? ", " : "", value);
    text += piece;
  }
  return text + "]";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kv_start_check_bench SERVER ONE_FILE_SERVER ROUNDS\n");
    return 2;
  }
  const int server = std::atoi(argv[1]);
  const int oneFileServer = std::atoi(argv[2]);
  const int rounds = std::atoi(argv[3]);
  kv::platform::linux_backend::LinuxMachine machine;
  const kv::tools::ToolSettings settings = kv::tools::readToolSettings(".", machine.profileFolder());
  const std::string serverDir = kv::updater::serverFolder(server);

  std::vector<double> checks;
  std::vector<double> runs;
  std::vector<double> oneFileRuns;
  std::size_t files = 0;
  for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
    const Clock::time_point checkStart = Clock::now();
    const kv::updater::InstalledCheck found = kv::updater::checkInstalledFiles(serverDir, {}, nullptr);
    const double checkMs = millisecondsSince(checkStart);
    if (!found.damaged.empty()) {
      std::fprintf(stderr, "kv_start_check_bench: %zu damaged files\n", found.damaged.size());
      return 1;
    }
    files = found.checked;
    const double runMs = timedRun(settings, machine.is64Bit(), server);
    const double oneFileMs = timedRun(settings, machine.is64Bit(), oneFileServer);
    if (runMs < 0 || oneFileMs < 0) return 1;
    if (round > 0) {
      checks.push_back(checkMs);
      runs.push_back(runMs);
      oneFileRuns.push_back(oneFileMs);
    }
  }
  std::printf("{\"files\": %zu, \"check_ms\": %s, \"run_ms\": %s, \"one_file_run_ms\": %s}\n", files,
              list(checks).c_str(), list(runs).c_str(), list(oneFileRuns).c_str());
  return 0;
}
