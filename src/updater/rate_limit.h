#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace kv::updater {

// Holds the bytes of all the transfers of one run to a rate: each chunk
// received is accounted, and the call that accounts it waits until the run
// is back within the rate. A short burst is allowed, and time spent idle
// gives no more credit than that burst. Worker thread.
class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  using Sleep = std::function<void(Clock::duration)>;

  // bytesPerSecond 0 (or less): no limit. stop, when given, is asked between
  // short sleeps and ends a wait early when it answers true. now and sleep
  // replace the clock (tests).
  explicit RateLimit(std::int64_t bytesPerSecond, std::function<bool()> stop = {}, Now now = {}, Sleep sleep = {});

  // Accounts size bytes just received and waits as long as the limit asks.
  void take(std::size_t size);

 private:
  std::int64_t bytesPerSecond_;
  std::function<bool()> stop_;
  Now now_;
  Sleep sleep_;
  bool started_ = false;
  Clock::time_point due_{};  // when the bytes accounted so far may have arrived
};

}  // namespace kv::updater
