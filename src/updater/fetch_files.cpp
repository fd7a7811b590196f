#include "updater/fetch_files.h"

#include <deque>
#include <map>
#include <memory>
#include <thread>

#include "platform/file_system.h"
#include "updater/download_resume.h"
#include "updater/endpoints.h"
#include "updater/install_check.h"
#include "updater/rate_limit.h"

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
};

bool tellsOfALimit(const TransferResult& result) {
  if (result.outcome == TransferOutcome::Failed) return result.connectionLost;
  return result.outcome == TransferOutcome::Completed && (result.status == 503 || result.status == 429);
}

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
        rateLimit_(environment.rateLimit,
                   [cancel = environment.cancel] { return cancel != nullptr && cancel->load(); }),
        attempts_(items.size(), 0),
        fresh_(items.size(), false),
        startedOnce_(items.size(), false) {
    for (std::size_t i = 0; i < items.size(); ++i) pending_.push_back(i);
  }

  ~Fetch() { stopAll(); }
  Fetch(const Fetch&) = delete;
  Fetch& operator=(const Fetch&) = delete;

  FetchEnd run() {
    std::vector<FinishedTransfer> finished;
    for (;;) {
      if (hooks_.cancelled()) return FetchEnd::Cancelled;
      while (!pending_.empty() && active_.size() < static_cast<std::size_t>(std::max(engine_.width(), 1))) {
        if (hooks_.cancelled()) return FetchEnd::Cancelled;
        const std::size_t index = pending_.front();
        pending_.pop_front();
        if (!hooks_.prepare(items_[index])) return FetchEnd::Stopped;
        if (const std::optional<FetchEnd> end = start(index)) return *end;
      }
      if (active_.empty() && pending_.empty()) return FetchEnd::Done;
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
      rateLimit_.take(size);
      if (!placed.began) return true;  // an error page: not the file's bytes
      if (!placed.target->write(data, size)) return false;
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
        judgeDownload(result, closed, active.target->written(), item.expectedSize);
    if (!failure) {
      if (active.rest && isSha256Hex(item.hash) &&
          !matchesSha256(fileSha256Hex(item.partPath).value_or(""), item.hash)) {
        // Put together from two answers that do not make the listed file:
        // fetched again whole, which is then taken as any download is.
        startAfresh(active);
        return std::nullopt;
      }
      if (active.recorded || active.held > 0) (void)platform::removeFile(downloadRecordPath(item.partPath));
      troubleSinceSuccess_ = false;
      return hooks_.completed(item, active.target->written()) ? std::nullopt
                                                              : std::optional<FetchEnd>(FetchEnd::Stopped);
    }
    keep(active);
    const bool cancelled = environment_.cancel != nullptr && environment_.cancel->load();
    if (result.outcome == TransferOutcome::Aborted || (result.outcome == TransferOutcome::Failed && cancelled)) {
      return FetchEnd::Cancelled;  // nothing to tell
    }
    if (tellsOfALimit(result) && engine_.width() > 1) {
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

  // A failed attempt of a file: the others in flight are fetched again
  // later, the failure is told, and the file waits for its next attempt.
  std::optional<FetchEnd> failed(Active& active, const DownloadFailure& failure) {
    requeueAll();
    const FetchItem& item = items_[active.index];
    reportDownloadTrouble(progress_, item.path);
    reportDownloadFailure(environment_, item.localPath, failure);
    const int attempt = ++attempts_[active.index];
    if (hooks_.cancelled()) return FetchEnd::Cancelled;
    if (attempt >= kDownloadAttempts) {
      hooks_.gaveUp(item);
      return FetchEnd::Stopped;
    }
    hooks_.retrying(item, attempt);
    if (retryPause_.count() > 0) std::this_thread::sleep_for(retryPause_);
    pending_.push_front(active.index);
    return std::nullopt;
  }

  // Stops every transfer in flight and queues its file again, ahead of the
  // others and in the order they started.
  void requeueAll() {
    for (auto it = active_.rbegin(); it != active_.rend(); ++it) {
      engine_.stop(it->first);
      keep(it->second);
      pending_.push_front(it->second.index);
    }
    active_.clear();
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
    const FetchItem& item = items_[active.index];
    (void)active.target->close();
    (void)platform::removeFile(downloadRecordPath(item.partPath));
    (void)platform::removeFile(item.partPath);
    fresh_[active.index] = true;
    pending_.push_front(active.index);
  }

  TransferEngine& engine_;
  const DownloadEnvironment& environment_;
  DownloadProgress& progress_;
  const std::vector<FetchItem>& items_;
  const FetchHooks& hooks_;
  const std::chrono::milliseconds retryPause_;
  RateLimit rateLimit_;             // shared by every transfer of the fetch
  std::vector<int> attempts_;       // failed attempts per item
  std::vector<bool> fresh_;         // per item: the next start asks for the whole file
  std::vector<bool> startedOnce_;   // per item: started in this fetch before
  std::deque<std::size_t> pending_;  // items waiting for a transfer, next first
  std::map<std::uint64_t, Active> active_;  // by transfer id, in start order
  std::uint64_t nextId_ = 1;
  int generation_ = 0;              // counts the narrowings of the engine
  bool troubleSinceSuccess_ = false;
};

}  // namespace

FetchEnd fetchFiles(TransferEngine& engine, const DownloadEnvironment& environment, DownloadProgress& progress,
                    const std::vector<FetchItem>& items, const FetchHooks& hooks,
                    std::chrono::milliseconds retryPause) {
  return Fetch(engine, environment, progress, items, hooks, retryPause).run();
}

}  // namespace kv::updater
