#include "updater/rate_limit.h"

#include <algorithm>
#include <thread>

namespace kv::updater {
namespace {

// How far ahead of the rate the transfers may be, and the longest single
// sleep of takeAndWait (so that a stop is heard soon).
constexpr std::chrono::milliseconds kBurst{250};
constexpr std::chrono::milliseconds kSleepSlice{50};

}  // namespace

RateLimit::RateLimit(std::int64_t bytesPerSecond, Now now)
    : bytesPerSecond_(std::max<std::int64_t>(bytesPerSecond, 0)),
      now_(now ? std::move(now) : Now([] { return Clock::now(); })) {}

void RateLimit::take(std::size_t size) {
  if (bytesPerSecond_ == 0 || size == 0) return;
  const Clock::time_point now = now_();
  const std::lock_guard<std::mutex> lock(mutex_);
  // Time spent idle is credit for one burst at most.
  if (!started_ || due_ < now - kBurst) due_ = now - kBurst;
  started_ = true;
  due_ += std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(size) / static_cast<double>(bytesPerSecond_)));
}

RateLimit::Clock::duration RateLimit::delay() const {
  if (bytesPerSecond_ == 0) return Clock::duration::zero();
  const Clock::time_point now = now_();
  const std::lock_guard<std::mutex> lock(mutex_);
  return due_ > now ? due_ - now : Clock::duration::zero();
}

void RateLimit::takeAndWait(std::size_t size, const std::function<bool()>& stop, const Sleep& sleep) {
  take(size);
  for (Clock::duration left = delay(); left > Clock::duration::zero(); left = delay()) {
    if (stop && stop()) return;
    const Clock::duration slice = std::min<Clock::duration>(left, kSleepSlice);
    if (sleep) {
      sleep(slice);
    } else {
      std::this_thread::sleep_for(slice);
    }
  }
}

}  // namespace kv::updater
