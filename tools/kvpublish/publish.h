#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kv::tools {

// What to publish and where.
struct PublishRequest {
  std::string serverFolder;  // "eu" or "us"
  std::string versionText;   // written to download/updater.php as it is
  std::string clientDir;     // the client installation to publish
  std::string siteDir;       // the site root; download/ is written below it
};

// What a publication found and did.
struct PublishReport {
  std::vector<std::string> problems;  // why nothing (or not everything) was published
  std::vector<std::string> warnings;  // archives the launcher could not unpack, case clashes
  std::size_t fileCount = 0;          // files in the manifest
  std::size_t filesCopied = 0;        // files whose site copy was new or changed
  bool manifestChanged = false;       // the manifests were rewritten (new stamp)
};

// Publishes the client in request.clientDir for one server: every regular
// file goes to siteDir/download/<server>/<path>, then "manifest.json" and
// "manifest.php" (the same document: "hash" = SHA-256 hex, "path", "size")
// are written there, and siteDir/download/updater.php gets the version text
// without a line end. Every file is written beside its old copy and renamed
// over it, files before manifests, so a site that is being served never shows
// a manifest whose files are missing. Unchanged files and manifests are left
// as they are, so an unchanged manifest keeps its Last-Modified stamp; a
// changed one always gets a newer file time than the old one.
// Refuses (false, nothing written) when the client folder holds a path the
// launcher would refuse, a symbolic link or a special file. Archives the
// launcher could not unpack and paths that differ only in case only produce
// warnings. False also when writing
// failed; problems says why.
[[nodiscard]] bool publishClient(const PublishRequest& request, PublishReport& report);

}  // namespace kv::tools
