// kvpublish: writes the download site of one server from a client folder.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "publish.h"
#include "publish_arguments.h"
#include "publish_progress.h"
#include "store_publish.h"
#include "store_settings.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  kv::tools::PublishArguments parsed;
  std::string error;
  switch (kv::tools::parsePublishArguments(args, parsed, error)) {
    case kv::tools::ParseOutcome::Help:
      std::fputs(kv::tools::publishUsage(), stdout);
      return 0;
    case kv::tools::ParseOutcome::Misuse:
      std::fprintf(stderr, "kvpublish: %s\n", error.c_str());
      std::fputs(kv::tools::publishUsage(), stderr);
      return 2;
    case kv::tools::ParseOutcome::Run:
      break;
  }
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  winsize size{};
  const int columns = terminal && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  kv::tools::ConsoleProgress progress(stdout, terminal, columns);

  kv::tools::PublishRequest request{parsed.serverFolder, parsed.versionText, parsed.clientDir, parsed.siteDir};
  request.strict = parsed.strict;
  request.prune = parsed.prune;
  request.dryRun = parsed.dryRun;
  request.indexes = !parsed.noIndex;
  request.progress = &progress;
  kv::tools::PublishReport report;
  bool ok = false;
  if (parsed.storeUrl.empty()) {
    ok = kv::tools::publishClient(request, report);
  } else {
    kv::tools::S3Config config;
    std::string reason;
    if (!kv::tools::storeSettings(parsed, [](const char* name) { return std::getenv(name); }, config, reason)) {
      std::fprintf(stderr, "kvpublish: %s\n", reason.c_str());
      return 2;
    }
    const auto store = kv::tools::makeS3Store(config);
    ok = kv::tools::publishToStore(request, *store, report);
  }
  std::fflush(stdout);
  for (const auto& warning : report.warnings) std::fprintf(stderr, "kvpublish: warning: %s\n", warning.c_str());
  for (const auto& problem : report.problems) std::fprintf(stderr, "kvpublish: error: %s\n", problem.c_str());
  if (!ok) {
    std::fprintf(stderr, "kvpublish: %s\n", kv::tools::failureLine(report).c_str());
    return 1;
  }
  for (const auto& line : kv::tools::summaryLines(request, report, parsed.verbose)) {
    std::printf("%s\n", line.c_str());
  }
  return 0;
}
