#include "updater/fetch_files.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/file_system.h"
#include "updater/delta_fetch.h"
#include "updater/download_log.h"
#include "platform/sha256.h"
#include "updater/download_resume.h"
#include "updater/endpoints.h"
#include "updater/install_check.h"
#include "updater/stream_hash.h"

namespace kv::updater {
namespace {

// How long one wait for the engine may take before the cancel flag is read
// again.
constexpr std::chrono::milliseconds kWaitSlice{100};

// A file in flight.
struct Active {
  std::size_t index = 0;
  std::unique_ptr<DownloadTarget> target;
  std::int64_t reported = 0;  // the running count last told to the progress
  int generation = 0;         // the engine's width level when it started
  std::int64_t held = 0;      // bytes the temporary held when the transfer started
  bool began = false;         // the answer's body holds the file (see BodyStart)
  bool rest = false;          // ... and continues the held bytes
  std::string validator;      // of the answer the temporary's bytes come from
  bool recorded = false;      // a record of those bytes is beside the temporary
  bool recordTried = false;   // the transfer itself tried to write the record
  std::unique_ptr<HashPipe::Stream> digest;  // of the whole answer's bytes, when its hash is required
};

// The digest of the bytes a whole answer brought: the SHA-256 of nothing
// when no body began (an empty file).
std::string streamedDigest(Active& active) {
  return active.digest ? active.digest->finishHex() : platform::sha256Hex("", 0);
}

// Whether a failure tells of a site limiting its connections or dropping a
// transfer, rather than of the file: a refused or reset connection, a stream
// reset or a partial answer while other transfers are in flight, or a 503 or
// 429 while the engine runs several at once.
bool tellsOfALimit(const TransferResult& result, bool othersInFlight, int width) {
  if (result.outcome == TransferOutcome::Failed) return result.connectionLost && othersInFlight;
  return result.outcome == TransferOutcome::Completed && (result.status == 503 || result.status == 429) &&
         (width > 1 || othersInFlight);
}

// Runs pieces of work one at a time, in the order they were posted, on a
// thread of its own; the worker's thread collects how each ended. Where no
// thread can be started, work runs as it is posted.
class SideWork {
 public:
  using Done = std::pair<std::uint64_t, bool>;

  SideWork() = default;
  ~SideWork() { finish(); }
  SideWork(const SideWork&) = delete;
  SideWork& operator=(const SideWork&) = delete;

  void post(std::uint64_t id, std::function<bool()> work) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!thread_.joinable() && !inline_) {
        try {
          thread_ = std::thread([this] { serve(); });
        } catch (...) {
          inline_ = true;
        }
      }
      if (!inline_) {
        queue_.emplace_back(id, std::move(work));
        wake_.notify_one();
        return;
      }
    }
    const bool worked = runSafely(work);
    std::lock_guard<std::mutex> lock(mutex_);
    done_.emplace_back(id, worked);
  }

  // Moves the results of ended work to out; waits up to timeout for one
  // when there is none yet.
  void collect(std::vector<Done>& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (done_.empty() && timeout.count() > 0) ended_.wait_for(lock, timeout, [this] { return !done_.empty(); });
    for (Done& done : done_) out.push_back(done);
    done_.clear();
  }

  // Runs what is still queued and lets the thread end.
  void finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  static bool runSafely(const std::function<bool()>& work) {
    try {
      return work();
    } catch (...) {
      return false;
    }
  }

  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      auto [id, work] = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      const bool worked = runSafely(work);
      lock.lock();
      done_.emplace_back(id, worked);
      ended_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;   // work was posted, or the end
  std::condition_variable ended_;  // work ended
  std::deque<std::pair<std::uint64_t, std::function<bool()>>> queue_;
  std::vector<Done> done_;
  std::thread thread_;
  bool stopping_ = false;
  bool inline_ = false;
};

class Fetch {
 public:
  Fetch(TransferEngine& engine, const DownloadEnvironment& environment, DownloadProgress& progress,
        const std::vector<FetchItem>& items, const FetchHooks& hooks, std::chrono::milliseconds retryPause)
      : engine_(engine),
        environment_(environment),
        progress_(progress),
        items_(items),
        hooks_(hooks),
        retryPause_(retryPause),
        attempts_(items.size(), 0),
        fresh_(items.size(), false),
        startedOnce_(items.size(), false),
        notBefore_(items.size()) {
    for (std::size_t i = 0; i < items.size(); ++i) pending_.push_back(i);
    engine_.shareLimit(environment.rateLimit, environment.cancel);
  }

  ~Fetch() {
    stopAll();
    // Work already handed over ends before the fetch does; what it would
    // have recorded is left to a later run.
    side_.finish();
  }
  Fetch(const Fetch&) = delete;
  Fetch& operator=(const Fetch&) = delete;

  FetchEnd run() {
    std::vector<FinishedTransfer> finished;
    for (;;) {
      if (hooks_.cancelled()) return FetchEnd::Cancelled;
      if (const std::optional<FetchEnd> end = settleSideWork(std::chrono::milliseconds(0))) return *end;
      while (active_.size() < static_cast<std::size_t>(std::max(engine_.width(), 1))) {
        const std::optional<std::size_t> index = nextDue();
        if (!index) break;
        if (hooks_.cancelled()) return FetchEnd::Cancelled;
        if (!hooks_.prepare(items_[*index])) return FetchEnd::Stopped;
        if (const std::optional<FetchEnd> end = start(*index)) return *end;
      }
      if (active_.empty() && pending_.empty() && waiting_.empty() && parked_.empty()) return FetchEnd::Done;
      if (active_.empty()) {
        // Nothing in flight: the fetch waits for work beside it or for a
        // file's pause to pass, hearing only the cancel flag meanwhile.
        if (const std::optional<FetchEnd> end = idle()) return *end;
        continue;
      }
      finished.clear();
      engine_.wait(kWaitSlice, finished);
      for (FinishedTransfer& done : finished) {
        const auto it = active_.find(done.id);
        if (it == active_.end()) continue;  // stopped after it finished
        Active active = std::move(it->second);
        active_.erase(it);
        if (const std::optional<FetchEnd> end = settle(active, done.result)) return *end;
      }
    }
  }

 private:
  // Starts the transfer of items_[index]; an end of the fetch when the file
  // cannot even be opened for the last time.
  std::optional<FetchEnd> start(std::size_t index) {
    const FetchItem& item = items_[index];
    if (item.assembled && !startedOnce_[index]) {
      startedOnce_[index] = true;
      checkAssembled(index);
      return std::nullopt;
    }
    Active active;
    active.index = index;
    active.generation = generation_;
    openTarget(active);
    if (!active.target->isOpen()) return failed(active, cannotOpenFailure(item.localPath, *active.target));
    if (!startedOnce_[index]) {
      startedOnce_[index] = true;
      progress_.heldBytes += active.held;
    }
    const std::uint64_t id = nextId_++;
    Active& placed = active_.emplace(id, std::move(active)).first->second;
    TransferOrder order;
    order.url = item.url;
    order.maxBytes = item.expectedSize ? *item.expectedSize : kMaxManifestFileSize;
    order.range.from = placed.held;
    order.range.ifRange = placed.validator;
    order.range.bodyStart = [this, &placed](bool rest, const std::string& validator) {
      return beginBody(placed, rest, validator);
    };
    order.sink = [this, &placed](const char* data, std::size_t size) {
      if (!placed.began) return true;  // an error page: not the file's bytes
      if (!placed.target->write(data, size)) return false;
      if (placed.digest) placed.digest->add(data, size);
      if (!placed.recordTried && placed.target->written() >= kDownloadRecordBytes) {
        placed.recordTried = true;
        record(placed);
      }
      return true;
    };
    order.progress = [this, &placed](std::int64_t received) {
      const std::int64_t added = received - placed.reported;
      placed.reported = received;
      reportDownloadProgress(progress_, items_[placed.index].path, added);
      return environment_.cancel == nullptr || !environment_.cancel->load();
    };
    engine_.start(id, std::move(order));
    return std::nullopt;
  }

  // Decides what a finished transfer means; an end of the fetch, or nothing
  // to go on.
  std::optional<FetchEnd> settle(Active& active, TransferResult result) {
    const FetchItem& item = items_[active.index];
    if (result.rangeRefused) {
      // The site does not continue the bytes held: the file starts again
      // from zero at once.
      startAfresh(active);
      return std::nullopt;
    }
    if (result.outcome == TransferOutcome::Completed && result.status == 200 && !active.began &&
        active.target->written() > 0 && !active.target->restart()) {
      result.outcome = TransferOutcome::Failed;  // an empty whole answer; the held bytes are not part of it
      result.errorText = std::string(kReasonWriteFailed);
    }
    // The rest of the file completes it as a whole answer would.
    if (active.rest && result.status == 206) result.status = 200;
    const bool closed = active.target->close();
    const std::optional<DownloadFailure> failure =
        judgeDownload(result, closed, *active.target, item.expectedSize);
    if (!failure) {
      troubleSinceSuccess_ = false;
      const std::size_t index = active.index;
      const std::int64_t bytes = active.target->written();
      const bool recordBeside = active.recorded || active.recordTried;
      if (item.hashRequired && !active.rest) {
        const std::string digest = streamedDigest(active);
        if (!matchesSha256(digest, item.hash)) return refused(index, digest);
      }
      if (active.rest && (isSha256Hex(item.hash) || item.hashRequired)) {
        // Put together from two answers: it must make the listed file, else
        // it is fetched again whole (and then taken as any download is).
        // The hash is computed beside the transfers.
        const std::string partPath = item.partPath;
        const std::string hash = item.hash;
        handOver([partPath, hash] { return matchesSha256(fileSha256Hex(partPath).value_or(""), hash); },
                 [this, index, bytes](bool whole) -> std::optional<FetchEnd> {
                   if (!whole) {
                     dropHeld(index);
                     return std::nullopt;
                   }
                   return arrived(index, bytes, true);
                 });
        return std::nullopt;
      }
      return arrived(index, bytes, recordBeside);
    }
    keep(active);
    const bool cancelled = environment_.cancel != nullptr && environment_.cancel->load();
    if (result.outcome == TransferOutcome::Aborted || (result.outcome == TransferOutcome::Failed && cancelled)) {
      return FetchEnd::Cancelled;  // nothing to tell
    }
    if (tellsOfALimit(result, !active_.empty(), engine_.width())) {
      // A reset now and then (an HTTP/2 connection the site retires) is only
      // tried again; a refusal, or trouble without a success in between,
      // makes the engine narrower, once per width.
      if (active.generation == generation_) {
        if (result.outcome == TransferOutcome::Failed && !troubleSinceSuccess_) {
          troubleSinceSuccess_ = true;
        } else if (engine_.narrow()) {
          ++generation_;
        }
      }
      pending_.push_front(active.index);
      return std::nullopt;
    }
    return failed(active, *failure);
  }

  // A file whose hash is required arrived with other bytes: they are
  // dropped, and the fetch ends.
  std::optional<FetchEnd> refused(std::size_t index, const std::string& digest) {
    const FetchItem& item = items_[index];
    (void)platform::removeFile(downloadRecordPath(item.partPath));
    (void)platform::removeFile(item.partPath);
    if (hooks_.hashRefused) hooks_.hashRefused(item, digest);
    return FetchEnd::Stopped;
  }

  // A failed attempt of a file. While another file's failures are being
  // counted, this one waits quietly for that file to end one way or the
  // other. Otherwise the failure is told and the file waits for its next
  // attempt while the others go on.
  std::optional<FetchEnd> failed(Active& active, const DownloadFailure& failure) {
    const std::size_t index = active.index;
    if (failing_ && *failing_ != index) {
      parked_.push_back(index);
      return std::nullopt;
    }
    failing_ = index;
    const FetchItem& item = items_[index];
    reportDownloadTrouble(progress_, item.path);
    reportDownloadFailure(environment_, item.localPath, failure);
    const int attempt = ++attempts_[index];
    if (hooks_.cancelled()) return FetchEnd::Cancelled;
    if (attempt >= kDownloadAttempts) {
      hooks_.gaveUp(item);
      return FetchEnd::Stopped;
    }
    hooks_.retrying(item, attempt);
    notBefore_[index] = std::chrono::steady_clock::now() + retryPause_;
    pending_.push_front(index);
    return std::nullopt;
  }

  // The file at index arrived whole: the caller puts it in its place; work
  // the caller hands over runs beside the transfers. recordBeside: a record
  // of its bytes may be beside the temporary (a quick small file has none).
  std::optional<FetchEnd> arrived(std::size_t index, std::int64_t bytes, bool recordBeside) {
    const FetchItem& item = items_[index];
    if (recordBeside) (void)platform::removeFile(downloadRecordPath(item.partPath));
    if (failing_ == index) {
      // Its failures are over: the files that waited for it go on.
      failing_.reset();
      for (auto it = parked_.rbegin(); it != parked_.rend(); ++it) pending_.push_front(*it);
      parked_.clear();
    }
    Completion completion = hooks_.completed(item, bytes);
    if (!completion.ok) return FetchEnd::Stopped;
    if (!completion.work) return std::nullopt;
    handOver(std::move(completion.work), [then = std::move(completion.then)](bool worked) {
      return !then || then(worked) ? std::nullopt : std::optional<FetchEnd>(FetchEnd::Stopped);
    });
    return std::nullopt;
  }

  // An assembled file was checked against its listed SHA-256 as it was put
  // together: it completes as it is when it is still there, whole, or is
  // fetched whole.
  void checkAssembled(std::size_t index) {
    const std::string partPath = items_[index].partPath;
    const std::int64_t bytes = items_[index].expectedSize.value_or(0);
    handOver(
        [partPath, bytes] {
          const std::optional<std::uint64_t> size = platform::regularFileSizeAt(partPath);
          return size && static_cast<std::int64_t>(*size) == bytes;
        },
        [this, index, bytes](bool whole) -> std::optional<FetchEnd> {
          if (whole) return arrived(index, bytes, false);
          writeDownloadLog(environment_.logPath,
                           deltaFallbackLine(items_[index].path, "the assembled file is no longer in place"));
          dropHeld(index);
          return std::nullopt;
        });
  }

  // Runs work beside the transfers; then hears how it ended, on this thread.
  void handOver(std::function<bool()> work, std::function<std::optional<FetchEnd>(bool)> then) {
    const std::uint64_t id = nextWorkId_++;
    waiting_.emplace(id, std::move(then));
    side_.post(id, std::move(work));
  }

  // Takes the results of work that ended (waiting up to timeout for one).
  std::optional<FetchEnd> settleSideWork(std::chrono::milliseconds timeout) {
    if (waiting_.empty()) return std::nullopt;
    std::vector<SideWork::Done> done;
    side_.collect(done, timeout);
    for (const auto& [id, worked] : done) {
      const auto it = waiting_.find(id);
      if (it == waiting_.end()) continue;
      const std::function<std::optional<FetchEnd>(bool)> then = std::move(it->second);
      waiting_.erase(it);
      if (const std::optional<FetchEnd> end = then(worked)) return end;
    }
    return std::nullopt;
  }

  // Waits, with nothing in flight, until work beside the transfers ended or
  // a waiting file may start. Hears the cancel flag itself, so that how long
  // the work takes never changes how often the caller's checks are asked.
  std::optional<FetchEnd> idle() {
    for (;;) {
      if (environment_.cancel != nullptr && environment_.cancel->load()) return FetchEnd::Cancelled;
      const auto now = std::chrono::steady_clock::now();
      std::chrono::milliseconds slice = kWaitSlice;
      bool due = false;
      for (const std::size_t index : pending_) {
        if (notBefore_[index] <= now) {
          due = true;
          break;
        }
        slice = std::min(slice, std::chrono::ceil<std::chrono::milliseconds>(notBefore_[index] - now));
      }
      if (due) return std::nullopt;
      if (waiting_.empty()) {
        if (pending_.empty()) return std::nullopt;
        std::this_thread::sleep_for(slice);
        continue;
      }
      const std::size_t before = waiting_.size();
      if (const std::optional<FetchEnd> end = settleSideWork(slice)) return end;
      if (waiting_.size() != before) return std::nullopt;
    }
  }

  // The first pending file whose pause has passed, taken off the queue.
  std::optional<std::size_t> nextDue() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (notBefore_[*it] <= now) {
        const std::size_t index = *it;
        pending_.erase(it);
        return index;
      }
    }
    return std::nullopt;
  }

  void stopAll() {
    for (auto& [id, active] : active_) {
      engine_.stop(id);
      keep(active);
    }
    active_.clear();
  }

  // Opens the temporary of active's item: continuing the bytes an earlier
  // transfer left when their record names the same entry and they fall short
  // of its size, else empty (and without a record).
  void openTarget(Active& active) {
    const FetchItem& item = items_[active.index];
    const std::string recordPath = downloadRecordPath(item.partPath);
    const bool fresh = fresh_[active.index];
    fresh_[active.index] = false;
    if (!fresh && item.expectedSize && *item.expectedSize > 0) {
      const std::optional<DownloadRecord> record = readDownloadRecord(recordPath);
      if (record && record->path == item.path && record->hash == item.hash && record->size == *item.expectedSize) {
        std::unique_ptr<DownloadTarget> target = DownloadTarget::continuing(item.partPath);
        if (target->isOpen() && target->written() > 0 && target->written() < *item.expectedSize) {
          active.held = target->written();
          active.validator = record->validator;
          active.recorded = true;
          active.target = std::move(target);
          return;
        }
      }
    }
    // The record goes first: a record never describes bytes it did not see.
    (void)platform::removeFile(recordPath);
    // A link in the temporary's place is removed, never written through.
    if (platform::pathKind(item.partPath) == platform::PathKind::Link) (void)platform::removeFile(item.partPath);
    active.target = std::make_unique<DownloadTarget>(item.partPath);
  }

  // The answer's body begins: a whole answer replaces what was held.
  bool beginBody(Active& active, bool rest, const std::string& validator) {
    active.began = true;
    active.rest = rest;
    if (rest) return true;
    if (active.recorded || active.target->written() > 0) {
      (void)platform::removeFile(downloadRecordPath(items_[active.index].partPath));
      active.recorded = false;
      if (!active.target->restart()) return false;
    }
    active.held = 0;
    active.validator = validator;
    if (items_[active.index].hashRequired) active.digest = hashes_.open();
    return true;
  }

  // Records what the temporary of active holds, when it can be continued.
  void record(Active& active) {
    const FetchItem& item = items_[active.index];
    if (active.recorded || !active.began || active.validator.empty() || !item.expectedSize) return;
    active.recorded =
        writeDownloadRecord(downloadRecordPath(item.partPath), {item.path, item.hash, *item.expectedSize,
                                                                active.validator});
  }

  // An interrupted transfer: its bytes stay for a later start, recorded.
  void keep(Active& active) {
    if (!active.target) return;
    (void)active.target->close();
    if (active.target->written() > 0) record(active);
  }

  // Drops what active's item holds; its next start asks for the whole file.
  void startAfresh(Active& active) {
    (void)active.target->close();
    dropHeld(active.index);
  }

  void dropHeld(std::size_t index) {
    const FetchItem& item = items_[index];
    (void)platform::removeFile(downloadRecordPath(item.partPath));
    (void)platform::removeFile(item.partPath);
    fresh_[index] = true;
    pending_.push_front(index);
  }

  TransferEngine& engine_;
  const DownloadEnvironment& environment_;
  DownloadProgress& progress_;
  const std::vector<FetchItem>& items_;
  const FetchHooks& hooks_;
  const std::chrono::milliseconds retryPause_;
  std::vector<int> attempts_;       // failed attempts per item
  std::vector<bool> fresh_;         // per item: the next start asks for the whole file
  std::vector<bool> startedOnce_;   // per item: started in this fetch before
  std::vector<std::chrono::steady_clock::time_point> notBefore_;  // per item: its pause after a failure
  std::optional<std::size_t> failing_;  // the item whose failures are being counted
  std::vector<std::size_t> parked_;     // items that failed meanwhile, waiting for it
  std::map<std::uint64_t, std::function<std::optional<FetchEnd>(bool)>> waiting_;  // work beside, by id
  std::uint64_t nextWorkId_ = 1;
  std::deque<std::size_t> pending_;  // items waiting for a transfer, next first
  HashPipe hashes_;                  // before active_: its streams end first
  std::map<std::uint64_t, Active> active_;  // by transfer id, in start order
  std::uint64_t nextId_ = 1;
  int generation_ = 0;              // counts the narrowings of the engine
  bool troubleSinceSuccess_ = false;
  SideWork side_;                   // last: its thread ends before the rest goes
};

}  // namespace

FetchEnd fetchFiles(TransferEngine& engine, const DownloadEnvironment& environment, DownloadProgress& progress,
                    const std::vector<FetchItem>& items, const FetchHooks& hooks,
                    std::chrono::milliseconds retryPause) {
  return Fetch(engine, environment, progress, items, hooks, retryPause).run();
}

}  // namespace kv::updater
