#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::tools {

// The command line of the publishing tool:
//   kvpublish --server eu|us [--version-text TEXT] [--strict] [--prune]
//             [--dry-run] [--verbose] [--no-index] CLIENT_DIR SITE_DIR
//   kvpublish ... --to s3://BUCKET[/PREFIX] [--endpoint URL]
//             [--addressing path|virtual] CLIENT_DIR
//   with [--sign KEYFILE [--release N] [--expires DAYS]]; and
//   kvpublish --server eu|us --sign KEYFILE --resign [--expires DAYS] SITE_DIR
//             (or --to ... without a folder)
struct PublishArguments {
  std::string serverFolder;  // "eu" or "us"
  std::string versionText;   // the launcher version the site announces
  std::string clientDir;
  std::string siteDir;
  bool strict = false;   // warnings refuse the release
  bool prune = false;    // remove the site files the new manifest does not list
  bool dryRun = false;   // check and summarise, write nothing
  bool verbose = false;  // list every added, changed, removed and pruned path
  bool noIndex = false;  // write no chunk indexes
  std::string storeUrl;    // "s3://..." when publishing to a store instead of SITE_DIR
  std::string endpoint;    // --endpoint ("" when not given)
  std::string addressing;  // --addressing: "path", "virtual" or "" (by the endpoint)
  std::string signKeyFile;    // --sign: a minisign secret key ("" : unsigned)
  std::uint64_t release = 0;  // --release (0: one above the site's)
  int expiresDays = 30;       // --expires
  bool resign = false;        // --resign
};

enum class ParseOutcome { Run, Help, Misuse };

// Reads the arguments after the program name. Misuse leaves the reason in
// error. Without --version-text the launcher's own version text is used.
ParseOutcome parsePublishArguments(const std::vector<std::string>& args, PublishArguments& out,
                                   std::string& error);

// The usage text printed for --help and after misuse.
const char* publishUsage();

}  // namespace kv::tools
