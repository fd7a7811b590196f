// kvpublish: writes the download site of one server from a client folder.
#include <cstdio>
#include <string>
#include <vector>

#include "publish.h"
#include "publish_arguments.h"

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
  kv::tools::PublishReport report;
  const bool ok = kv::tools::publishClient(
      {parsed.serverFolder, parsed.versionText, parsed.clientDir, parsed.siteDir}, report);
  for (const auto& warning : report.warnings) std::fprintf(stderr, "kvpublish: warning: %s\n", warning.c_str());
  for (const auto& problem : report.problems) std::fprintf(stderr, "kvpublish: error: %s\n", problem.c_str());
  if (!ok) return 1;
  std::printf("%s: %zu files, %zu copied, manifest %s\n", parsed.serverFolder.c_str(), report.fileCount,
              report.filesCopied, report.manifestChanged ? "updated" : "unchanged");
  return 0;
}
