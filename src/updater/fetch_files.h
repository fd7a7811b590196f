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
  // partPath already holds the whole file, put together from local bytes
  // and byte ranges and checked against its listed SHA-256: it completes
  // without a transfer, or is fetched whole when it is no longer there
  // whole (with a log line).
  bool assembled = false;
  // The file must have the listed hash, a SHA-256, before it is handed to
  // completed: its bytes are hashed as they arrive.
  bool hashRequired = false;
};

// What a whole file still needs before it counts as installed: nothing
// (done), or work that runs beside the transfers on a thread of its own (an
// archive's unpacking) and then a step on the worker's thread.
struct Completion {
  bool ok = true;  // false ends the fetch (the caller has told the player why)
  // Runs beside the transfers, one piece of work at a time, in the order the
  // files completed; may be empty. Must not post, show boxes or read the
  // cancel flag through the caller's checks: it only works on files.
  std::function<bool()> work;
  // Told on the worker's thread whether work succeeded, once it ended;
  // false ends the fetch (the callable has told the player why). May be
  // empty when work is.
  std::function<bool(bool worked)> then;
};

// What the caller decides while files arrive. Every callable is called on
// the worker's thread; none may be empty.
struct FetchHooks {
  // A cancellation check: true when the fetch must end at once, silently.
  std::function<bool()> cancelled;
  // Called just before a file is fetched (again); false ends the fetch (the
  // callable has told the player why).
  std::function<bool(const FetchItem&)> prepare;
  // Called once the file at partPath is whole (and, when it was put together
  // from two answers, checked), with the bytes it holds; the callable puts it
  // in its place and says what is left to do.
  std::function<Completion(const FetchItem&, std::int64_t bytes)> completed;
  // Called after the failed attempt-th attempt of a file, before the pause
  // that precedes the next one.
  std::function<void(const FetchItem&, int attempt)> retrying;
  // Called when the last attempt of a file failed; the fetch then ends.
  std::function<void(const FetchItem&)> gaveUp;
  // Called when a file whose hash is required arrived whole with other
  // bytes (the digest found is given); the fetch then ends and the bytes
  // are dropped. May be empty when no item requires its hash.
  std::function<void(const FetchItem&, const std::string& digest)> hashRefused;
};

enum class FetchEnd {
  Done,       // every file completed
  Stopped,    // a hook ended the fetch, or a file failed every attempt
  Cancelled,  // the run was cancelled
};

// Fetches items through engine, starting them in the given order and
// keeping engine.width() of them in flight. A file fails as downloadFile
// fails (same log line and message box) and gets kDownloadAttempts attempts;
// retryPause holds back only that file, the others go on. While one file's
// failures are being counted, a failure of another file is not: that file
// waits, without a word, until the first one arrived (then it is tried
// again) or gave up (then the fetch ends), so a failing fetch tells exactly
// what a fetch of one file at a time tells. An answer that tells of a site
// limiting its connections or dropping a transfer (status 503 or 429, a
// refused or reset connection, a stream reset, a partial file) while
// several transfers run is tried again without a word, the engine made
// narrower when it keeps happening; at one transfer it is a failed attempt
// like any other. Work that completions hand over (see Completion) runs
// beside the transfers; the fetch is done once all of it ended. All transfers together receive no more than
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
// whole. An item whose hash is required is hashed while its bytes stream
// in (a file put together from two answers is hashed whole beside the
// transfers) and is handed to completed only with that hash; any other
// content ends the fetch through hashRefused. Anything that does not continue the bytes held starts the file
// again from zero, without counting as an attempt. The percent counts the
// bytes held from before the fetch as done. Worker thread.
FetchEnd fetchFiles(TransferEngine& engine, const DownloadEnvironment& environment, DownloadProgress& progress,
                    const std::vector<FetchItem>& items, const FetchHooks& hooks,
                    std::chrono::milliseconds retryPause);

}  // namespace kv::updater
