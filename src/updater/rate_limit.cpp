#include "updater/rate_limit.h"

#include <algorithm>
#include <thread>

namespace kv::updater {
namespace {

// How far ahead of the rate the run may be, and the longest single sleep
// (so that a stop is heard soon).
constexpr std::chrono::milliseconds kBurst{250};
constexpr std::chrono::milliseconds kSleepSlice{50};

}  // namespace

RateLimit::RateLimit(std::int64_t bytesPerSecond, std::function<bool()> stop, Now now, Sleep sleep)
    : bytesPerSecond_(std::max<std::int64_t>(bytesPerSecond, 0)),
      stop_(std::move(stop)),
      now_(now ? std::move(now) : Now([] { return Clock::now(); })),
      sleep_(sleep ? std::move(sleep) : Sleep([](Clock::duration d) { std::this_thread::sleep_for(d); })) {}

void RateLimit::take(std::size_t size) {
  if (bytesPerSecond_ == 0 || size == 0) return;
  const Clock::time_point now = now_();
  // Time spent idle is credit for one burst at most.
  if (!started_ || due_ < now - kBurst) due_ = now - kBurst;
  started_ = true;
  due_ += std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(size) / static_cast<double>(bytesPerSecond_)));
  for (Clock::time_point t = now; t < due_; t = now_()) {
    if (stop_ && stop_()) return;
    sleep_(std::min<Clock::duration>(due_ - t, kSleepSlice));
  }
}

}  // namespace kv::updater
