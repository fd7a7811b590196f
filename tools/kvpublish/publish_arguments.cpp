#include "publish_arguments.h"

#include "base/launcher_version.h"
#include "publish_signing.h"

namespace kv::tools {

ParseOutcome parsePublishArguments(const std::vector<std::string>& args, PublishArguments& out,
                                   std::string& error) {
  PublishArguments parsed;
  parsed.versionText = std::string(kLauncherVersionText);
  bool haveServer = false;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  bool expiresGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && (arg == "--help" || arg == "-h")) return ParseOutcome::Help;
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded &&
               (arg == "--server" || arg == "--version-text" || arg == "--to" || arg == "--endpoint" ||
                arg == "--addressing" || arg == "--sign" || arg == "--release" || arg == "--expires")) {
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
      } else if (arg == "--sign") {
        parsed.signKeyFile = value;
      } else if (arg == "--release" || arg == "--expires") {
        std::uint64_t number = 0;
        bool ok = !value.empty() && value.size() <= 15 && value[0] != '0';
        for (char c : value) ok = ok && c >= '0' && c <= '9';
        if (ok) number = std::stoull(value);
        if (!ok || (arg == "--expires" && number > kMaxExpiresDays)) {
          error = arg + " needs a whole number from 1" +
                  (arg == "--expires" ? " to " + std::to_string(kMaxExpiresDays) : std::string()) + ", not \"" + value +
                  "\"";
          return ParseOutcome::Misuse;
        }
        if (arg == "--release") {
          parsed.release = number;
        } else {
          parsed.expiresDays = static_cast<int>(number);
          expiresGiven = true;
        }
      } else if (arg == "--to") {
        parsed.storeUrl = value;
      } else if (arg == "--endpoint") {
        parsed.endpoint = value;
      } else if (arg == "--addressing") {
        if (value != "path" && value != "virtual") {
          error = "unknown addressing \"" + value + "\" (path or virtual)";
          return ParseOutcome::Misuse;
        }
        parsed.addressing = value;
      } else {
        parsed.versionText = value;
      }
    } else if (!optionsEnded && (arg == "--strict" || arg == "--prune" || arg == "--dry-run" || arg == "--verbose" ||
                                 arg == "--no-index" || arg == "--resign")) {
      bool& flag = arg == "--strict"     ? parsed.strict
                   : arg == "--prune"    ? parsed.prune
                   : arg == "--dry-run"  ? parsed.dryRun
                   : arg == "--no-index" ? parsed.noIndex
                   : arg == "--resign"   ? parsed.resign
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
  const bool signs = !parsed.signKeyFile.empty();
  if (!signs && (parsed.resign || parsed.release != 0 || expiresGiven)) {
    error = "--resign, --release and --expires need --sign";
    return ParseOutcome::Misuse;
  }
  if (parsed.resign && parsed.prune) {
    error = "--resign touches no file: it does not go with --prune";
    return ParseOutcome::Misuse;
  }
  // --resign renews the signatures of the site alone: no client folder.
  const std::size_t folders = (parsed.storeUrl.empty() ? 2 : 1) - (parsed.resign ? 1 : 0);
  if (positional.size() != folders) {
    error = parsed.resign
                ? (folders == 1 ? "expected SITE_DIR alone with --resign" : "expected no folder with --resign and --to")
            : folders == 2 ? "expected CLIENT_DIR and SITE_DIR"
                           : "expected CLIENT_DIR alone with --to";
    return ParseOutcome::Misuse;
  }
  for (const auto& folder : positional) {
    if (folder.empty()) {
      error = "empty folder name";
      return ParseOutcome::Misuse;
    }
  }
  if (parsed.storeUrl.empty() && (!parsed.endpoint.empty() || !parsed.addressing.empty())) {
    error = "--endpoint and --addressing need --to";
    return ParseOutcome::Misuse;
  }
  if (parsed.resign) {
    if (folders == 1) parsed.siteDir = positional[0];
  } else {
    parsed.clientDir = positional[0];
    if (folders == 2) parsed.siteDir = positional[1];
  }
  out = parsed;
  return ParseOutcome::Run;
}

const char* publishUsage() {
  return "usage: kvpublish --server eu|us [--version-text TEXT] [--strict] [--prune] [--dry-run] [--verbose]\n"
         "                 [--no-index] CLIENT_DIR SITE_DIR\n"
         "       kvpublish --server eu|us [options] --to s3://BUCKET[/PREFIX] [--endpoint URL]\n"
         "                 [--addressing path|virtual] CLIENT_DIR\n"
         "Publishes the client in CLIENT_DIR for one server: writes SITE_DIR/download/<server>/\n"
         "with every file, manifest.json and manifest.php, and SITE_DIR/download/updater.php.\n"
         "  --strict    refuse the release when there are warnings\n"
         "  --prune     then remove the site files the new manifest does not list\n"
         "  --dry-run   check and summarise only; write and remove nothing\n"
         "  --verbose   list every added, changed, removed and pruned file\n"
         "  --no-index  write no chunk indexes (launchers then fetch changed large files whole)\n"
         "  --to        publish into an S3-compatible store (the site root is BUCKET/PREFIX); keys from\n"
         "              AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, region from\n"
         "              AWS_REGION (default us-east-1), endpoint from --endpoint or AWS_ENDPOINT_URL\n"
         "  --addressing  bucket in the path or in the host name (default: path with an endpoint,\n"
         "              virtual without)\n"
         "  --sign KEYFILE  sign the manifests with a minisign secret key (manifest.json.minisig,\n"
         "              manifest.php.minisig); its password from KV_SIGN_PASSWORD or asked for\n"
         "  --release N  the release number signed (default: one above the site's signed release)\n"
         "  --expires DAYS  launchers refuse the signatures after so many days (default 30)\n"
         "  --resign    renew the signatures of the site's current release (same number, new expiry),\n"
         "              touching no other file: kvpublish --server eu --sign KEYFILE --resign SITE_DIR\n";
}

}  // namespace kv::tools
