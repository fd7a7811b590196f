// The parallel transfer engine over libcurl's multi interface.
#include <curl/curl.h>

#include <algorithm>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "updater/curl_request.h"
#include "updater/curl_transport.h"
#include "updater/rate_limit.h"
#include "updater/site_config.h"
#include "updater/transfer_engine.h"

namespace kv::updater {
namespace {

// The most transfers in flight at once over HTTP/2, all streams of one
// connection.
constexpr int kMaxStreams = 64;

// The body callback of a transfer under a rate limit: while the limit asks
// for a pause the bytes stay with libcurl (the transfer pauses and wait
// resumes it), so the loop goes on for every other transfer and connection.
size_t onLimitedBody(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<RequestState*>(user);
  if (state->rateLimit->delay() > RateLimit::Clock::duration::zero()) {
    state->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  const size_t taken = onRequestBody(data, size, count, user);
  state->rateLimit->take(taken);
  return taken;
}

// How many transfers started later may get a connection (or a stream of
// one) ahead of a transfer that still waits, before the engine takes it that
// the site carries fewer transfers at once than it runs.
constexpr int kMostOvertaken = 8;

class CurlEngine;

// One transfer in flight. Its address is fixed while libcurl holds it.
struct Slot {
  std::uint64_t id = 0;
  CURL* handle = nullptr;
  CurlEngine* engine = nullptr;
  TransferOrder order;
  RequestState state;
  bool sent = false;       // libcurl gave it a connection (or a stream) and sends its request
  std::uint64_t startedAt = 0;  // the passes of libcurl's loop before it started
  bool answered = false;   // the site began to answer
  int overtaken = 0;       // transfers started later that were answered first
};

size_t onEngineHeader(char* data, size_t size, size_t count, void* user);

// libcurl's pre-request callback: the transfer has a connection (or a
// stream of one) and its request goes out.
int onRequestSent(void* user, char* /*remoteIp*/, char* /*localIp*/, int /*remotePort*/, int /*localPort*/) {
  static_cast<Slot*>(user)->sent = true;
  return CURL_PREREQFUNC_OK;
}

class CurlEngine final : public TransferEngine {
 public:
  CurlEngine(CurlTransportOptions options, int connections, const CurlEngineStart& start)
      : options_(std::move(options)),
        share_(start.share),
        connections_(std::max(connections, 1)),
        multiplexed_(start.multiplexed),
        carried_(connections_),
        widest_(connections_ > 1 ? std::min(2 * connections_, kMaxDownloadConnections) : connections_) {
    initializeCurlOnce();
    multi_ = curl_multi_init();
    if (multi_ != nullptr) {
      // Transfers wait for the first connection to say whether it
      // multiplexes (CURLOPT_PIPEWAIT) instead of opening one each.
      (void)curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
      (void)curl_multi_setopt(multi_, CURLMOPT_MAX_CONCURRENT_STREAMS, static_cast<long>(kMaxStreams));
      applyConnections();
    }
  }

  ~CurlEngine() override {
    for (auto& [id, slot] : slots_) {
      if (multi_ != nullptr) (void)curl_multi_remove_handle(multi_, slot->handle);
      curl_easy_cleanup(slot->handle);
    }
    for (CURL* handle : pool_) curl_easy_cleanup(handle);
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
  }
  CurlEngine(const CurlEngine&) = delete;
  CurlEngine& operator=(const CurlEngine&) = delete;

  int width() const override {
    if (connections_ <= 1) return 1;
    // Streams are counted only where they share a connection.
    return multiplexed_ ? std::min({cap_, carried_, kMaxStreams}) : std::min(cap_, connections_);
  }

  // The site began to answer slot, so it holds a stream. The engine starts
  // with as many transfers as connections and doubles them each time as
  // many answers came in the order the transfers started while every
  // transfer had its request sent. The transfers
  // that started earlier and still have no answer were overtaken: when one
  // of them waited through kMostOvertaken of those, the site carries fewer
  // transfers at once (its concurrent-stream limit times the connections)
  // than the engine runs, and libcurl hands the streams out in no particular
  // order, which can starve a transfer. The engine then halves what it runs
  // for the rest of the run, again each time the transfers it runs (no more
  // than that) still overtake each other so.
  void answered(Slot& slot) {
    if (slot.answered) return;
    slot.answered = true;
    if (!multiplexed_) return;  // one transfer per connection: nothing to share
    bool overtook = false;
    bool starved = false;
    for (auto it = slots_.begin(); it != slots_.end() && it->first < slot.id; ++it) {
      Slot& earlier = *it->second;
      if (earlier.answered) continue;
      overtook = true;
      starved = starved || ++earlier.overtaken >= kMostOvertaken;
    }
    if (starved && static_cast<int>(slots_.size()) <= carried_) {
      carried_ = std::max(carried_ / 2, 1);
      carriedKnown_ = true;
      for (auto& entry : slots_) entry.second->overtaken = 0;
    }
    inOrder_ = overtook ? 0 : inOrder_ + 1;
    // libcurl keeps a transfer for which no connection has a free stream
    // (as far as the site's settings tell) waiting for one: when one went
    // through a whole pass of libcurl's loop unsent, the site already
    // carries all it will.
    const bool waiting = std::any_of(slots_.begin(), slots_.end(), [this](const auto& e) {
      return !e.second->sent && e.second->startedAt + 2 <= performs_;
    });
    if (!carriedKnown_ && inOrder_ >= carried_ && !waiting) {
      carried_ = std::min(carried_ * 2, kMaxStreams);
      inOrder_ = 0;
    }
  }



  bool narrow() override {
    const int now = width();
    if (now <= 1 && connections_ <= 1) return false;
    cap_ = std::max(now / 2, 1);
    connections_ = std::max(std::min(connections_, cap_), 1);
    widest_ = connections_;
    applyConnections();
    return true;
  }

  void start(std::uint64_t id, TransferOrder order) override {
    CURL* handle = takeHandle();
    if (multi_ == nullptr || handle == nullptr) {
      if (handle != nullptr) pool_.push_back(handle);
      FinishedTransfer failed;
      failed.id = id;
      failed.result.outcome = TransferOutcome::InitFailed;
      unstarted_.push_back(std::move(failed));
      return;
    }
    auto slot = std::make_unique<Slot>();
    slot->id = id;
    slot->handle = handle;
    slot->engine = this;
    slot->startedAt = performs_;
    slot->order = std::move(order);
    slot->state.sink = &slot->order.sink;
    slot->state.progress = &slot->order.progress;
    slot->state.range = &slot->order.range;
    slot->state.limit = slot->order.maxBytes;
    configureDownload(handle, slot->order.url, slot->state, options_);
    if (limit_ != nullptr && limit_->active()) {
      slot->state.rateLimit = limit_;
      curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onLimitedBody);
    }
    curl_easy_setopt(handle, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &onEngineHeader);
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, &onRequestSent);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, slot.get());
    if (share_ != nullptr) curl_easy_setopt(handle, CURLOPT_SHARE, share_);
    curl_easy_setopt(handle, CURLOPT_PRIVATE, slot.get());
    if (curl_multi_add_handle(multi_, handle) != CURLM_OK) {
      recycle(handle);
      FinishedTransfer failed;
      failed.id = id;
      failed.result.outcome = TransferOutcome::InitFailed;
      unstarted_.push_back(std::move(failed));
      return;
    }
    slots_[id] = std::move(slot);
  }

  void shareLimit(RateLimit* limit, const std::atomic<bool>* /*cancel*/) override { limit_ = limit; }

  void stop(std::uint64_t id) override {
    const auto it = slots_.find(id);
    if (it == slots_.end()) {
      std::erase_if(unstarted_, [id](const FinishedTransfer& f) { return f.id == id; });
      return;
    }
    (void)curl_multi_remove_handle(multi_, it->second->handle);
    if (it->second->state.paused) {
      // Bytes held back for a paused body must not reach a later transfer.
      curl_easy_cleanup(it->second->handle);
    } else {
      recycle(it->second->handle);
    }
    slots_.erase(it);
  }

  void wait(std::chrono::milliseconds timeout, std::vector<FinishedTransfer>& finished) override {
    const std::size_t before = finished.size();
    for (FinishedTransfer& failed : unstarted_) finished.push_back(std::move(failed));
    unstarted_.clear();
    if (multi_ == nullptr || slots_.empty()) return;
    int running = 0;
    resumePaused();
    ++performs_;
    (void)curl_multi_perform(multi_, &running);
    collect(finished);
    if (finished.size() > before) return;
    (void)curl_multi_poll(multi_, nullptr, 0, static_cast<int>(pollTime(timeout).count()), nullptr);
    resumePaused();
    ++performs_;
    (void)curl_multi_perform(multi_, &running);
    collect(finished);
  }

 private:
  void applyConnections() {
    (void)curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(connections_));
    (void)curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(connections_));
  }

  // An HTTP/1.1 site answered a whole file. Each connection carries one
  // transfer at a time, and every file costs a round trip on it, so the pool
  // doubles (up to widest_) each time every connection answered twice while
  // the site gave no sign of a limit; narrow ends the widening.
  void keptUp() {
    if (connections_ >= widest_ || ++answeredSinceWider_ < 2 * connections_) return;
    connections_ = std::min(connections_ * 2, widest_);
    answeredSinceWider_ = 0;
    applyConnections();
  }

  // Resumes paused transfers while the limit lets more bytes in, each in
  // turn after the one resumed last, so that every transfer gets its share.
  void resumePaused() {
    if (limit_ == nullptr) return;
    std::vector<Slot*> paused;
    for (auto it = slots_.upper_bound(lastResumed_); it != slots_.end(); ++it) {
      if (it->second->state.paused) paused.push_back(it->second.get());
    }
    for (auto it = slots_.begin(); it != slots_.end() && it->first <= lastResumed_; ++it) {
      if (it->second->state.paused) paused.push_back(it->second.get());
    }
    for (Slot* slot : paused) {
      if (limit_->delay() > RateLimit::Clock::duration::zero()) return;
      slot->state.paused = false;
      lastResumed_ = slot->id;
      // The held bytes go through the body callback at once; it may pause
      // the transfer again.
      (void)curl_easy_pause(slot->handle, CURLPAUSE_CONT);
    }
  }

  // How long one poll may wait: no longer than until a paused transfer may
  // go on.
  std::chrono::milliseconds pollTime(std::chrono::milliseconds timeout) const {
    if (limit_ == nullptr) return timeout;
    const bool anyPaused =
        std::any_of(slots_.begin(), slots_.end(), [](const auto& entry) { return entry.second->state.paused; });
    if (!anyPaused) return timeout;
    const auto due = std::chrono::ceil<std::chrono::milliseconds>(limit_->delay());
    return std::clamp(due, std::chrono::milliseconds(1), timeout);
  }

  // A handle from the pool, or a new one; null when libcurl has none.
  CURL* takeHandle() {
    if (!pool_.empty()) {
      CURL* handle = pool_.back();
      pool_.pop_back();
      return handle;
    }
    return curl_easy_init();
  }

  // Back to the pool, its options cleared.
  void recycle(CURL* handle) {
    curl_easy_reset(handle);
    pool_.push_back(handle);
  }

  void collect(std::vector<FinishedTransfer>& finished) {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* handle = message->easy_handle;
      const CURLcode code = message->data.result;
      Slot* slot = nullptr;
      (void)curl_easy_getinfo(handle, CURLINFO_PRIVATE, &slot);
      if (slot == nullptr) continue;
      FinishedTransfer done;
      done.id = slot->id;
      done.result = downloadResult(handle, code, slot->state);
      long version = 0;
      if (code == CURLE_OK && curl_easy_getinfo(handle, CURLINFO_HTTP_VERSION, &version) == CURLE_OK) {
        multiplexed_ = version >= CURL_HTTP_VERSION_2_0;
        if (!multiplexed_ && (done.result.status == 200 || done.result.status == 206)) keptUp();
      }
      (void)curl_multi_remove_handle(multi_, handle);
      recycle(handle);
      slots_.erase(done.id);
      finished.push_back(std::move(done));
    }
  }

  CurlTransportOptions options_;
  void* share_;                    // the CURLSH* of the transport, or null
  CURLM* multi_ = nullptr;
  int connections_;                // the most connections to the site
  bool multiplexed_;               // the site answers over HTTP/2
  int cap_ = kMaxStreams;          // the most transfers at once after narrowing
  int carried_;                    // the most transfers the site carries at once, as far as seen
  bool carriedKnown_ = false;      // ... found by transfers that waited too long
  int widest_;                     // the most connections an HTTP/1.1 site may get by keeping up
  int answeredSinceWider_ = 0;     // whole answers since the pool last widened
  int inOrder_ = 0;                // answers in start order since the engine last grew
  std::uint64_t performs_ = 0;     // passes of libcurl's loop so far
  std::map<std::uint64_t, std::unique_ptr<Slot>> slots_;
  std::vector<FinishedTransfer> unstarted_;  // transfers that could not start
  std::vector<CURL*> pool_;        // idle handles, reused by later transfers
  RateLimit* limit_ = nullptr;     // shared with every other engine of the launcher; null: none
  std::uint64_t lastResumed_ = 0;  // the transfer resumed last
};

// The header callback of the engine's transfers: tells the engine that the
// site answers, then keeps the headers as every request does.
size_t onEngineHeader(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<RequestState*>(user);
  Slot* slot = nullptr;
  (void)curl_easy_getinfo(state->handle, CURLINFO_PRIVATE, &slot);
  if (slot != nullptr) slot->engine->answered(*slot);
  return onRequestHeader(data, size, count, user);
}

}  // namespace

std::unique_ptr<TransferEngine> makeCurlEngine(const CurlTransportOptions& options, int connections,
                                               const CurlEngineStart& start) {
  return std::make_unique<CurlEngine>(options, connections, start);
}

}  // namespace kv::updater
