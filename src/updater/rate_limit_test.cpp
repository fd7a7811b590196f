#include "updater/rate_limit.h"

#include <gtest/gtest.h>

#include <vector>

namespace kv::updater {
namespace {

using std::chrono::milliseconds;

// A clock that only the limit's sleeps and the test's idle gaps move.
struct FakeTime {
  RateLimit::Clock::time_point now{};
  RateLimit limit(std::int64_t rate, std::function<bool()> stop = {}) {
    return RateLimit(rate, std::move(stop), [this] { return now; },
                     [this](RateLimit::Clock::duration d) { now += d; });
  }
  long elapsedMs(RateLimit::Clock::time_point since) const {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(now - since).count());
  }
};

TEST(RateLimit, HoldsTheBytesOfAllTransfersToTheRate) {
  const struct {
    const char* name;
    std::int64_t rate;
    std::vector<std::pair<std::size_t, long>> chunks;  // bytes, idle milliseconds before them
    long leastMs, mostMs;
  } cases[] = {
      {"no limit", 0, {{1 << 20, 0}, {1 << 20, 0}}, 0, 0},
      // 4 MiB at 1 MiB/s: 4 s less the burst of 250 ms.
      {"steady", 1 << 20, std::vector<std::pair<std::size_t, long>>(256, {16384, 0}), 3750, 3751},
      {"one big chunk", 1000, {{5000, 0}}, 4750, 4751},
      // Ten idle seconds earn one burst, not ten seconds of credit.
      {"idle", 1000, {{1000, 0}, {2000, 10000}}, 12500, 12501},
  };
  for (const auto& c : cases) {
    FakeTime time;
    RateLimit limit = time.limit(c.rate);
    const auto start = time.now;
    for (const auto& [bytes, idleMs] : c.chunks) {
      time.now += milliseconds(idleMs);
      limit.take(bytes);
    }
    EXPECT_GE(time.elapsedMs(start), c.leastMs) << c.name;
    EXPECT_LE(time.elapsedMs(start), c.mostMs) << c.name;
  }
}

TEST(RateLimit, AStopEndsTheWaitWithinOneSlice) {
  FakeTime time;
  int asked = 0;
  RateLimit limit = time.limit(1000, [&asked] { return ++asked > 2; });
  const auto start = time.now;
  limit.take(1000000);  // a thousand seconds' worth
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(time.elapsedMs(start), 100);
}

}  // namespace
}  // namespace kv::updater
