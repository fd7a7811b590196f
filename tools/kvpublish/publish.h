#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "delta/chunk_index.h"
#include "signing/minisign.h"
#include "signing/release_claim.h"
#include "updater/manifest.h"

namespace kv::tools {

class PublishProgress;

// What to publish and where.
struct PublishRequest {
  std::string serverFolder;  // "eu" or "us"
  std::string versionText;   // written to download/updater.php as it is
  std::string clientDir;     // the client installation to publish
  std::string siteDir;       // the site root; download/ is written below it
  bool strict = false;       // warnings about the release refuse it
  bool prune = false;        // remove the site files the new manifest does not list
  bool dryRun = false;       // check and compare only; write and remove nothing
  PublishProgress* progress = nullptr;  // told how hashing and copying advance; may be null
  unsigned threads = 0;                 // hashing threads; 0 picks by the number of files
  bool indexes = true;                  // write chunk indexes of the large files
  // Signing (publish_signing.h): the key, or null for an unsigned site.
  const signing::SecretKey* signingKey = nullptr;
  std::uint64_t release = 0;  // 0: one above the site's signed release
  int expiresDays = 30;
  bool resign = false;   // renew the signatures of the manifests in place, touching nothing else
  std::int64_t now = 0;  // unix seconds the expiry counts from; 0: the clock
};

// Files of at least this size get a chunk index (see delta/chunk_index.h),
// so that launchers fetch only the chunks that changed. Below it a whole
// file costs little more than its index and the requests.
inline constexpr std::int64_t kIndexedFileSize = std::int64_t{4} << 20;

// What a publication found and did (on a dry run: would do).
struct PublishReport {
  std::vector<std::string> problems;  // why nothing (or not everything) was published
  std::vector<std::string> warnings;  // what players may miss, unreadable archives, case clashes
  std::size_t fileCount = 0;          // files in the manifest
  std::int64_t totalBytes = 0;        // their sizes
  std::size_t filesCopied = 0;        // files whose site copy was new or changed
  std::int64_t bytesCopied = 0;
  std::size_t indexesWritten = 0;     // chunk indexes new on the site
  bool manifestChanged = false;       // the manifests were rewritten (new stamp)
  bool versionChanged = false;        // download/updater.php got another text
  bool hadPreviousManifest = false;   // the server had a readable manifest before
  bool siteWritten = false;           // a site file was written or removed (also when it failed later)
  // Since the server's previous manifest, in path order.
  std::vector<std::string> added, changed, removed;
  // Site files that --prune removed, in path order.
  std::vector<std::string> pruned;
  bool signatureWritten = false;  // with a signing key: the signatures were (or would be) written
  signing::ReleaseClaim claim;    // what they claim
};

// Publishes the client in request.clientDir for one server: every regular
// file goes to siteDir/download/<server>/<path>, with the chunk index of
// each file of at least kIndexedFileSize (unless request.indexes is false)
// as "kvindex/H.kvi" and "kvindex/H.kvf" there (H its SHA-256 hex; named by
// content, so an index already there with the right size is left as it is),
// then "manifest.json" and "manifest.php" (the same document: "hash" =
// SHA-256 hex, "path", "size", and "index" for an indexed file) are written
// there, and siteDir/download/updater.php gets the version text
// without a line end. Every file is written beside its old copy and renamed
// over it, files before manifests, so a site that is being served never shows
// a manifest whose files are missing; pruning comes last for the same
// reason (it keeps the indexes the new manifest names). Unchanged files and
// manifests are left as they are, so an unchanged manifest keeps its
// Last-Modified stamp; a changed one always gets a newer file time than the
// old one.
// Refuses (false, nothing written) when the client folder holds a path the
// launcher would refuse or the Windows program could not create, a symbolic
// link or a special file, an unpacked archive holds an entry whose name
// breaks the same rules, or, when strict, when there are warnings (marked
// with kStrictMark). Each refused name gets its reason.
// Warnings: a release that lacks what players need (see releaseWarnings),
// archives that cannot be read and paths that differ only in case.
// With a signing key, "manifest.json.minisig" and "manifest.php.minisig"
// are written after the files and before the manifests (a launcher that
// reads the old manifest with the new signature refuses it and asks again);
// with request.resign only the signatures are written, over the manifests
// the site holds, which must be what the site's signatures sign.
// False also when writing failed; problems says why.
[[nodiscard]] bool publishClient(const PublishRequest& request, PublishReport& report);

// A client folder checked and hashed, ready to be written to any target.
struct CheckedRelease {
  std::vector<updater::ManifestEntry> entries;  // in path order
  std::vector<std::string> sources;             // where each entry's file is, by index
  std::vector<std::optional<delta::IndexFiles>> indexes;  // each entry's chunk index, when it has one
  updater::ManifestMap manifest;
  std::string document;  // the manifest as published
  unsigned threads = 1;  // threads the work on these files may use
};

// The checks of publishClient on request.clientDir without writing: lists
// and hashes the files, chunking the large ones beside (progress step
// "hashing"; each file is read once), fills report's warnings,
// counts and, on a refusal, problems. False when the release is refused.
[[nodiscard]] bool checkRelease(const PublishRequest& request, PublishReport& report, CheckedRelease& release);

// Fills report's added, changed and removed lists from the two manifests.
void listChanges(const updater::ManifestMap& manifest, const updater::ManifestMap& previous, PublishReport& report);

// What a refused or failed publication says last: "nothing was published"
// when no site file was touched, else that it stopped part way.
std::string failureLine(const PublishReport& report);

// The mark in front of the problems that are warnings refused by --strict.
inline constexpr char kStrictMark[] = "--strict: ";

// The summary printed after a publication: the counts of files, copies and
// changes since the previous manifest, whether the manifests and the version
// text changed, what was pruned; with verbose also every added, changed,
// removed and pruned path.
std::vector<std::string> summaryLines(const PublishRequest& request, const PublishReport& report, bool verbose);

}  // namespace kv::tools
