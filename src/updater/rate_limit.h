#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kv::updater {

// Holds the bytes of every transfer that shares it to one rate: the
// launcher owns one for both servers' workers, so that the player's limit
// holds for all downloads together. Each chunk received is accounted; the
// limit never waits itself but tells how long the transfers should pause
// until more may arrive. A short burst is allowed, and time spent idle gives
// no more credit than that burst. Any thread; the clock is guarded by
// mutex_.
class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  using Sleep = std::function<void(Clock::duration)>;

  // bytesPerSecond 0 (or less): no limit. now replaces the clock (tests).
  explicit RateLimit(std::int64_t bytesPerSecond, Now now = {});
  RateLimit(const RateLimit&) = delete;
  RateLimit& operator=(const RateLimit&) = delete;

  // False when the limit lets everything through.
  bool active() const { return bytesPerSecond_ > 0; }

  // Accounts size bytes just received by any transfer.
  void take(std::size_t size);

  // How long from now until the bytes accounted so far may have arrived:
  // zero when more may be received at once.
  Clock::duration delay() const;

  // For a caller that runs one transfer at a time on its thread: accounts
  // size bytes and sleeps (in slices, asking stop between them) as long as
  // the limit asks. sleep replaces the sleep (tests).
  void takeAndWait(std::size_t size, const std::function<bool()>& stop, const Sleep& sleep = {});

 private:
  const std::int64_t bytesPerSecond_;
  const Now now_;
  mutable std::mutex mutex_;
  bool started_ = false;     // guarded by mutex_
  Clock::time_point due_{};  // guarded by mutex_: when the bytes accounted so far may have arrived
};

}  // namespace kv::updater
