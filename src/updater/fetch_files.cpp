#include "updater/fetch_files.h"

#include <deque>
#include <map>
#include <memory>
#include <thread>

#include "updater/endpoints.h"
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
        attempts_(items.size(), 0) {
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
    active.target = std::make_unique<DownloadTarget>(item.partPath);
    if (!active.target->isOpen()) return failed(active, cannotOpenFailure(item.localPath, *active.target));
    const std::uint64_t id = nextId_++;
    Active& placed = active_.emplace(id, std::move(active)).first->second;
    TransferOrder order;
    order.url = item.url;
    order.maxBytes = item.expectedSize ? *item.expectedSize : kMaxManifestFileSize;
    DownloadTarget* target = placed.target.get();
    order.sink = [this, target](const char* data, std::size_t size) {
      rateLimit_.take(size);
      return target->write(data, size);
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
  std::optional<FetchEnd> settle(Active& active, const TransferResult& result) {
    const FetchItem& item = items_[active.index];
    const bool closed = active.target->close();
    const std::optional<DownloadFailure> failure =
        judgeDownload(result, closed, active.target->written(), item.expectedSize);
    if (!failure) {
      troubleSinceSuccess_ = false;
      return hooks_.completed(item, active.target->written()) ? std::nullopt
                                                              : std::optional<FetchEnd>(FetchEnd::Stopped);
    }
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
      pending_.push_front(it->second.index);
    }
    active_.clear();
  }

  void stopAll() {
    for (const auto& [id, active] : active_) engine_.stop(id);
    active_.clear();
  }

  TransferEngine& engine_;
  const DownloadEnvironment& environment_;
  DownloadProgress& progress_;
  const std::vector<FetchItem>& items_;
  const FetchHooks& hooks_;
  const std::chrono::milliseconds retryPause_;
  RateLimit rateLimit_;             // shared by every transfer of the fetch
  std::vector<int> attempts_;       // failed attempts per item
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
