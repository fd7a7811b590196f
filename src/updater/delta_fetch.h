#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "updater/download_file.h"
#include "updater/download_progress.h"
#include "updater/fetch_files.h"
#include "updater/manifest.h"
#include "updater/site_config.h"
#include "updater/transfer_engine.h"

namespace kv::updater {

// A local file whose chunks may go into a new file.
struct DeltaSource {
  std::string localPath;  // the installed file
  ManifestEntry entry;    // what the local manifest records of it
  // An older version of the file being put together: chunked on disk when
  // its head is not stored, and its chunks the new file no longer holds are
  // looked at chunk by chunk at the fine level.
  bool olderVersion = false;
};

// One changed file to put together from local bytes and byte ranges.
struct DeltaJob {
  FetchItem item;        // its listed size and SHA-256 hash are known
  IndexRef index;        // the head its manifest element names
  std::string headUrl;   // built with fileUrl from index.path
  std::string fineUrl;   // the fine file's, beside the head
  std::string serverDir; // where the heads of installed files are kept
  std::vector<DeltaSource> sources;
  // The head's bytes when they were fetched beforehand (with other heads,
  // at once); nothing makes assembleDelta fetch it.
  std::optional<std::string> headBytes;
};

enum class DeltaEnd {
  Assembled,  // item.partPath holds the file, checked against its listed size and SHA-256
  Whole,      // the file is to be fetched whole (problem says why, "" when no source could help)
  Cancelled,  // the run was cancelled; nothing is left at item.partPath
};

struct DeltaResult {
  DeltaEnd end = DeltaEnd::Whole;
  std::string problem;
  std::int64_t fetchedBytes = 0;  // received from the site: head, fine sections, ranges
  std::int64_t copiedBytes = 0;   // taken from local files
  std::int64_t reportedBytes = 0; // told to the progress: ranges fetched and chunks copied
};

// Fetches the head of job's file (checked against the size and hash its
// manifest element lists, and naming the file's size and SHA-256), keeps
// it among the heads of installed files (see storedHeadPath), and, when
// the sources hold any of its chunks, puts the file together at
// job.item.partPath: local chunks copied (each checked against its hash as
// it is read, on a thread of its own; one that does not match is fetched
// afterwards), the rest fetched meanwhile as single byte ranges of
// job.item.url through engine, with If-Range on the validator of the first
// answer; the file is hashed in order as its pieces are written and must
// have its listed SHA-256. Any failure (no head, a hostile head, a site
// that ignores ranges, a changed validator, a failed range, a wrong hash)
// answers Whole and removes the temporary. Progress hears the bytes fetched and those
// copied. Memory stays bounded by the largest chunk and the fine sections
// asked for, never the file. Worker thread.
DeltaResult assembleDelta(TransferEngine& engine, const DownloadEnvironment& environment,
                          DownloadProgress& progress, const DeltaJob& job);

// Where the head of an installed file with SHA-256 hex hash is kept in the
// server folder serverDir ("kvindex/H.kvi" below it, H in lower case).
std::string storedHeadPath(const std::string& serverDir, const std::string& hash);

// Removes the stored heads (see storedHeadPath) of files that installed
// does not list with an index, and anything else in their folder.
void removeUnusedHeads(const std::string& serverDir, const ManifestMap& installed);

// The log line of a file fetched whole after its delta failed.
std::string deltaFallbackLine(const std::string& path, const std::string& problem);

// What the delta fetches of a run took.
struct DeltaTotals {
  std::int64_t fetchedBytes = 0;   // received from the site, indexes included
  std::int64_t reportedBytes = 0;  // told to the progress (fetched ranges and copied chunks)
  int assembled = 0;               // files put together
};

// Before a run's fetch: for each of items whose remote entry names an index
// and lists a size and a SHA-256 (and that no download record continues),
// assembleDelta from the local files installed lists; marks the item
// assembled when it is put together, and logs why when it falls back to a
// whole fetch. site and folder build the index URLs. False when the run
// was cancelled meanwhile (the temporaries put together are then removed).
// Worker thread.
bool assembleChangedFiles(TransferEngine& engine, const DownloadEnvironment& environment, DownloadProgress& progress,
                          const SiteConfig& site, const std::string& folder, const std::string& serverDir,
                          const ManifestMap& remote, const ManifestMap& installed, std::vector<FetchItem>& items,
                          DeltaTotals& totals);

// The local files a changed entry remote may be put together from: the
// installed version of the same path (or, where installed does not list it,
// whatever file is on disk there), and every other installed file whose
// head is stored. installed is the local manifest; serverDir its folder.
std::vector<DeltaSource> deltaSources(const std::string& serverDir, const ManifestMap& installed,
                                      const ManifestEntry& remote);

}  // namespace kv::updater
