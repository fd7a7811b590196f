#include "updater/download_progress.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/fake/fake_platform.h"

namespace kv::updater {
namespace {

using platform::Report;
using platform::ReportKind;
using namespace std::chrono_literals;

// A progress record on a hand-driven clock that starts at phase start.
struct Fixture {
  platform::fake::FakeWindow sink;  // keeps the posted reports
  std::atomic<bool> cancel{false};
  SteadyTime clock{};
  DownloadProgress progress;

  Fixture() {
    progress.cancel = &cancel;
    progress.reports = &sink;
    progress.server = 1;
    progress.now = [this] { return clock; };
    progress.phaseStart = clock;
    progress.lastReport = clock;
  }
  const std::string path = "data/sub/x y.pak";
};

TEST(DownloadProgress, NothingIsPostedWithinHalfASecond) {
  Fixture f;
  f.progress.totalBytes = 1000;
  f.clock += 499ms;
  reportDownloadProgress(f.progress, f.path, 100);
  reportDownloadProgress(f.progress, "other.pak", 200);
  EXPECT_TRUE(f.sink.queuedReports().empty());
  EXPECT_EQ(f.progress.runBytes, 300) << "every transfer adds what it received";
}

TEST(DownloadProgress, PostsStatusThenFractionForTheServer) {
  Fixture f;
  f.progress.totalBytes = 4096;
  f.progress.runBytes = 1024;
  f.clock += 1s;
  reportDownloadProgress(f.progress, f.path, 1024);
  ASSERT_EQ(f.sink.queuedReports().size(), 2u);
  EXPECT_EQ(f.sink.queuedReports()[0].kind, ReportKind::Status);
  EXPECT_EQ(f.sink.queuedReports()[0].server, 1);
  EXPECT_EQ(f.sink.queuedReports()[0].text, "Downloading: x y.pak (50%, 2 KB/s)");
  EXPECT_EQ(f.sink.queuedReports()[1].kind, ReportKind::Progress);
  EXPECT_FLOAT_EQ(f.sink.queuedReports()[1].progress, 0.5f);
  EXPECT_EQ(f.progress.lastReport, f.clock);

  // The next report waits for another half second.
  // The next report waits for another half second and names the file that
  // reported last, with the percent of the whole run.
  f.clock += 300ms;
  reportDownloadProgress(f.progress, f.path, 512);
  EXPECT_EQ(f.sink.queuedReports().size(), 2u);
  f.clock += 200ms;
  reportDownloadProgress(f.progress, "data/z.pak", 512);
  EXPECT_EQ(f.sink.queuedReports().size(), 4u);
  EXPECT_EQ(f.sink.queuedReports()[2].text, "Downloading: z.pak (75%, 2 KB/s)");
}

TEST(DownloadProgress, FractionAndPercentStayInRange) {
  struct Case {
    std::int64_t total;
    std::int64_t base;      // received before
    std::int64_t received;  // received now
    float fraction;
    const char* percent;
  };
  const Case cases[] = {
      {0, 0, 0, 1.0f, "100%"},            // nothing announced: done
      {0, 0, 5000, 1.0f, "100%"},
      {100, 0, 100, 1.0f, "100%"},
      {100, 150, 100, 1.0f, "100%"},      // retries count their bytes again
      {300, 0, 1, 1.0f / 300.0f, "0%"},
      {INT64_MAX, INT64_MAX, INT64_MAX, 1.0f, "100%"},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.progress.totalBytes = c.total;
    f.progress.runBytes = c.base;
    f.clock += 1s;
    reportDownloadProgress(f.progress, f.path, c.received);
    ASSERT_EQ(f.sink.queuedReports().size(), 2u);
    EXPECT_FLOAT_EQ(f.sink.queuedReports()[1].progress, c.fraction) << c.total << " " << c.received;
    EXPECT_NE(f.sink.queuedReports()[0].text.find(c.percent), std::string::npos) << f.sink.queuedReports()[0].text;
  }
}

TEST(DownloadProgress, ACancelledRunPostsNothing) {
  Fixture f;
  f.cancel = true;
  f.clock += 5s;
  reportDownloadProgress(f.progress, f.path, 100);
  EXPECT_TRUE(f.sink.queuedReports().empty());
}

}  // namespace
}  // namespace kv::updater
