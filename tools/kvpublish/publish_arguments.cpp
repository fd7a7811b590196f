#include "publish_arguments.h"

#include "base/launcher_version.h"

namespace kv::tools {

ParseOutcome parsePublishArguments(const std::vector<std::string>& args, PublishArguments& out,
                                   std::string& error) {
  PublishArguments parsed;
  parsed.versionText = std::string(kLauncherVersionText);
  bool haveServer = false;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && (arg == "--help" || arg == "-h")) return ParseOutcome::Help;
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (arg == "--server" || arg == "--version-text")) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return ParseOutcome::Misuse;
      }
      const std::string& value = args[++i];
      if (arg == "--server") {
        if (value != "eu" && value != "us") {
          error = "unknown server \"" + value + "\" (eu or us)";
          return ParseOutcome::Misuse;
        }
        parsed.serverFolder = value;
        haveServer = true;
      } else {
        parsed.versionText = value;
      }
    } else if (!optionsEnded && (arg == "--strict" || arg == "--prune" || arg == "--dry-run" || arg == "--verbose")) {
      bool& flag = arg == "--strict" ? parsed.strict
                   : arg == "--prune" ? parsed.prune
                   : arg == "--dry-run" ? parsed.dryRun
                                        : parsed.verbose;
      flag = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return ParseOutcome::Misuse;
    } else {
      positional.push_back(arg);
    }
  }
  if (!haveServer) {
    error = "--server is required";
    return ParseOutcome::Misuse;
  }
  if (positional.size() != 2) {
    error = "expected CLIENT_DIR and SITE_DIR";
    return ParseOutcome::Misuse;
  }
  if (positional[0].empty() || positional[1].empty()) {
    error = "empty folder name";
    return ParseOutcome::Misuse;
  }
  parsed.clientDir = positional[0];
  parsed.siteDir = positional[1];
  out = parsed;
  return ParseOutcome::Run;
}

const char* publishUsage() {
  return "usage: kvpublish --server eu|us [--version-text TEXT] [--strict] [--prune] [--dry-run] [--verbose]\n"
         "                 CLIENT_DIR SITE_DIR\n"
         "Publishes the client in CLIENT_DIR for one server: writes SITE_DIR/download/<server>/\n"
         "with every file, manifest.json and manifest.php, and SITE_DIR/download/updater.php.\n"
         "  --strict    refuse the release when there are warnings\n"
         "  --prune     then remove the site files the new manifest does not list\n"
         "  --dry-run   check and summarise only; write and remove nothing\n"
         "  --verbose   list every added, changed, removed and pruned file\n";
}

}  // namespace kv::tools
