#include "updater/rate_limit.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace kv::updater {
namespace {

using std::chrono::milliseconds;

// A clock that only the sleeps and the test's idle gaps move.
struct FakeTime {
  RateLimit::Clock::time_point now{};
  RateLimit::Now clock() {
    return [this] { return now; };
  }
  RateLimit::Sleep sleep() {
    return [this](RateLimit::Clock::duration d) { now += d; };
  }
  long elapsedMs(RateLimit::Clock::time_point since) const {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(now - since).count());
  }
};

long asMs(RateLimit::Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(d).count());
}

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
    RateLimit limit(c.rate, time.clock());
    const auto start = time.now;
    for (const auto& [bytes, idleMs] : c.chunks) {
      time.now += milliseconds(idleMs);
      limit.takeAndWait(bytes, {}, time.sleep());
    }
    EXPECT_GE(time.elapsedMs(start), c.leastMs) << c.name;
    EXPECT_LE(time.elapsedMs(start), c.mostMs) << c.name;
  }
}

TEST(RateLimit, AStopEndsTheWaitWithinOneSlice) {
  FakeTime time;
  int asked = 0;
  RateLimit limit(1000, time.clock());
  const auto start = time.now;
  limit.takeAndWait(1000000, [&asked] { return ++asked > 2; }, time.sleep());  // a thousand seconds' worth
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(time.elapsedMs(start), 100);
}

// The engines never wait inside the limit: they take what arrived and ask
// how long every transfer sharing the limit should pause.
TEST(RateLimit, TellsThePauseOfEveryTransferThatSharesIt) {
  const struct {
    const char* name;
    std::int64_t rate;
    // Per step: the idle milliseconds before it, the bytes one of the
    // transfers took, and the pause the limit then asks for.
    std::vector<std::tuple<long, std::size_t, long>> steps;
  } cases[] = {
      {"no limit", 0, {{0, 1 << 20, 0}, {0, 1 << 20, 0}}},
      // The first quarter second is the burst; beyond it the bytes of all
      // transfers add up.
      {"burst", 1000, {{0, 250, 0}, {0, 250, 250}, {0, 500, 750}}},
      {"paused until due", 1000, {{0, 1000, 750}, {500, 0, 250}, {250, 0, 0}, {0, 100, 100}, {0, 200, 300}}},
      // A chunk larger than the burst (libcurl hands over up to 16 KiB) is
      // taken whole and paid for by the pause.
      {"large chunk", 8192, {{0, 16384, 1750}, {1750, 1, 0}}},
      {"idle earns one burst only", 1000, {{0, 250, 0}, {60000, 500, 250}}},
  };
  for (const auto& c : cases) {
    FakeTime time;
    RateLimit limit(c.rate, time.clock());
    EXPECT_EQ(limit.active(), c.rate > 0) << c.name;
    int step = 0;
    for (const auto& [idleMs, bytes, pauseMs] : c.steps) {
      time.now += milliseconds(idleMs);
      limit.take(bytes);
      EXPECT_EQ(asMs(limit.delay()), pauseMs) << c.name << ", step " << step++;
    }
  }
}

}  // namespace
}  // namespace kv::updater
