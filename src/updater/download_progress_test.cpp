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

// The status names the file that received bytes last, never one that only
// reports that nothing arrived; when nothing moves at all it names none.
TEST(DownloadProgress, NamesOnlyAFileThatMoves) {
  Fixture f;
  f.progress.totalBytes = 1000000;
  struct Step {
    std::chrono::milliseconds after;  // since the previous step
    const char* path;
    std::int64_t added;
    const char* status;  // nullptr: nothing posted
  };
  const Step steps[] = {
      {600ms, "data/a.pak", 0, "Downloading: waiting for the site (0%)"},
      {600ms, "data/a.pak", 100000, "Downloading: a.pak (10%, 81 KB/s)"},
      {600ms, "data/b.pak", 0, "Downloading: a.pak (10%, 54 KB/s)"},  // b stalls from the start
      {100ms, "data/b.pak", 100000, nullptr},                            // within half a second
      {500ms, "data/a.pak", 0, "Downloading: b.pak (20%, 81 KB/s)"},
      {2000ms, "data/a.pak", 0, "Downloading: waiting for the site (20%)"},  // b stalled since
  };
  std::size_t posted = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.after.count());
    f.clock += step.after;
    reportDownloadProgress(f.progress, step.path, step.added);
    const std::vector<Report> reports = f.sink.queuedReports();
    if (step.status == nullptr) {
      EXPECT_EQ(reports.size(), posted);
      continue;
    }
    ASSERT_EQ(reports.size(), posted + 2);
    EXPECT_EQ(reports[posted].text, step.status);
    posted += 2;
  }
}

// While the box about a failed file is open the status names that file in
// place of a download status; a status the run posted since (its retry
// text) is left alone.
TEST(DownloadProgress, TroubleNamesTheFileOfTheBox) {
  Fixture f;
  f.progress.totalBytes = 1000;
  reportDownloadTrouble(f.progress, "data/a.pak");
  EXPECT_TRUE(f.sink.queuedReports().empty()) << "no download status on show yet";
  f.clock += 1s;
  reportDownloadProgress(f.progress, "data/a.pak", 300);
  reportDownloadTrouble(f.progress, "data/fonts/RavidIzuz.ttf");
  ASSERT_EQ(f.sink.queuedReports().size(), 3u);
  EXPECT_EQ(f.sink.queuedReports()[2].kind, ReportKind::Status);
  EXPECT_EQ(f.sink.queuedReports()[2].server, 1);
  EXPECT_EQ(f.sink.queuedReports()[2].text, "Downloading: failed: RavidIzuz.ttf (30%)");
  reportDownloadTrouble(f.progress, "data/fonts/RavidIzuz.ttf");
  EXPECT_EQ(f.sink.queuedReports().size(), 3u);

  // A file that failed no longer counts as moving.
  f.clock += 1s;
  reportDownloadProgress(f.progress, "data/a.pak", 100);
  reportDownloadTrouble(f.progress, "data/a.pak");
  f.clock += 1s;
  reportDownloadProgress(f.progress, "data/a.pak", 0);
  ASSERT_EQ(f.sink.queuedReports().size(), 8u);
  EXPECT_EQ(f.sink.queuedReports()[5].text, "Downloading: failed: a.pak (40%)");
  EXPECT_EQ(f.sink.queuedReports()[6].text, "Downloading: waiting for the site (40%)");

  f.cancel = true;
  reportDownloadTrouble(f.progress, "data/b.pak");
  EXPECT_EQ(f.sink.queuedReports().size(), 8u);
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
