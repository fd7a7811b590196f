#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "updater/download_file.h"
#include "updater/download_progress.h"
#include "updater/transfer_engine.h"

namespace kv::updater {

// One file to fetch.
struct FetchItem {
  std::string path;       // the manifest path: what the texts and the progress name
  std::string url;        // built with fileUrl
  std::string localPath;  // where the file goes
  std::string partPath;   // where its bytes go until it is whole (see downloadTemporaryPath)
  std::optional<std::int64_t> expectedSize;  // the listed size, when the manifest gives one
  std::string hash;       // the listed hash
};

// What the caller decides while files arrive. Every callable is called on
// the worker's thread; none may be empty.
struct FetchHooks {
  // A cancellation check: true when the fetch must end at once, silently.
  std::function<bool()> cancelled;
  // Called just before a file is fetched (again); false ends the fetch (the
  // callable has told the player why).
  std::function<bool(const FetchItem&)> prepare;
  // Called once the file at partPath is whole, with the bytes it holds; the
  // callable puts it in its place. False ends the fetch (the callable has
  // told the player why).
  std::function<bool(const FetchItem&, std::int64_t bytes)> completed;
  // Called after the failed attempt-th attempt of a file, before the pause
  // that precedes the next one.
  std::function<void(const FetchItem&, int attempt)> retrying;
  // Called when the last attempt of a file failed; the fetch then ends.
  std::function<void(const FetchItem&)> gaveUp;
};

enum class FetchEnd {
  Done,       // every file completed
  Stopped,    // a hook ended the fetch, or a file failed every attempt
  Cancelled,  // the run was cancelled
};

// Fetches items through engine, starting them in the given order and
// keeping engine.width() of them in flight. A file fails as downloadFile
// fails (same log line and message box) and gets kDownloadAttempts attempts
// with retryPause between them; when a file fails, the transfers in flight
// are stopped and fetched again later without counting as attempts. An
// answer that tells of a site limiting its connections (status 503 or 429,
// a refused or reset connection) while several transfers run makes the
// engine narrower and is tried again without a word; at one transfer it is a
// failed attempt like any other. All transfers together receive no more than
// environment.rateLimit allows. Progress goes to progress.
//
// A transfer that ends before its file is whole (a failure, a stop, the
// cancel) leaves its bytes at partPath with a record beside it
// (downloadRecordPath) naming the item's path, hash and size and the
// answer's validator; while the transfer runs the record is written once
// kDownloadRecordBytes have arrived. A later start of the same item (this
// fetch or a later one) that finds such a record and fewer bytes than the
// listed size asks only for the rest; a file put together that way whose
// listed hash is a SHA-256 must have that hash, else it is fetched again
// whole. Anything that does not continue the bytes held starts the file
// again from zero, without counting as an attempt. The percent counts the
// bytes held from before the fetch as done. Worker thread.
FetchEnd fetchFiles(TransferEngine& engine, const DownloadEnvironment& environment, DownloadProgress& progress,
                    const std::vector<FetchItem>& items, const FetchHooks& hooks,
                    std::chrono::milliseconds retryPause);

}  // namespace kv::updater
