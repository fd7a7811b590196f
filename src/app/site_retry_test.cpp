#include "app/site_retry.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/launcher_version.h"
#include "platform/fake/fake_platform.h"
#include "support/fake_http_transport.h"
#include "support/temp_dir.h"
#include "updater/endpoints.h"

namespace kv::app {
namespace {

using namespace std::chrono_literals;
using platform::Report;
using platform::ReportKind;
using test::readFile;
using test::TempDir;
using updater::testing::FakeAnswer;
using updater::testing::FakeHttpTransport;

TEST(SiteRetry, PausesGrowToFiveMinutes) {
  std::vector<long long> seconds;
  for (int tries = 1; tries <= 8; ++tries) {
    seconds.push_back(std::chrono::duration_cast<std::chrono::seconds>(siteRetryPause(tries, {})).count());
  }
  EXPECT_EQ(seconds, (std::vector<long long>{15, 30, 60, 120, 240, 300, 300, 300}));
  EXPECT_EQ(siteRetryPause(1000000, {}), 300s);  // never overflows
}

TEST(SiteRetry, OnlyASiteThatCouldNotBeAskedIsTriedAgain) {
  const struct {
    ReportKind kind;
    std::string_view text;
    bool retried;
  } cases[] = {
      {ReportKind::Error, updater::kTextUpdaterPreparing, true},
      {ReportKind::Error, updater::kTextManifestFailed, true},
      {ReportKind::Error, updater::kTextNewLauncher, false},
      {ReportKind::Error, updater::kTextInvalidRemote, false},
      {ReportKind::Error, "Connection failed (a.pak) after 3 attempts", false},
      {ReportKind::Status, updater::kTextUpdaterPreparing, false},
  };
  for (const auto& c : cases) {
    Report report;
    report.kind = c.kind;
    report.text = std::string(c.text);
    EXPECT_EQ(isSiteUnreachable(report), c.retried) << c.text;
  }
}

const std::string kBase = "https://site.test/download/";

// A worker of server 1 against a scripted site whose stamp request finds
// nobody downAnswers times before the site answers.
struct RetryFixture {
  explicit RetryFixture(int downAnswers) {
    context.worker = &worker;
    context.runtime = &runtime;
    context.reports = &window;
    context.dialogs = &dialogs;
    context.site = updater::SiteConfig{"site.test", ""};
    context.clientBuild = "vdclient_gl_x64";
    context.baseFolder = root.path();
    context.transport = &transport;
    context.retryPause = 0ms;
    FakeAnswer version;
    version.body = std::string(kLauncherVersionText);
    transport.script(kBase + "updater.php", version);
    FakeAnswer down;
    down.arrived = false;
    down.errorText = "Could not resolve hostname";
    for (int i = 0; i < downAnswers; ++i) transport.script(kBase + "eu/manifest.php", down);
    FakeAnswer manifest;
    manifest.lastModified = "Mon, 07 Dec 2026 10:00:00 GMT";
    manifest.body = R"([{"path":"a.pak","hash":"ha","size":5}])";
    transport.script(kBase + "eu/manifest.php", manifest);
    transport.script(kBase + "eu/manifest.json", manifest);
    FakeAnswer file;
    file.body = "alpha";
    transport.script(kBase + "eu/a.pak", file);
  }

  std::vector<std::string> endings() const {
    std::vector<std::string> out;
    for (const Report& report : window.queuedReports()) {
      if (report.kind == ReportKind::Error) out.push_back("ERROR " + report.text);
      if (report.kind == ReportKind::Ready) out.push_back("READY");
    }
    return out;
  }

  TempDir root;
  updater::UpdaterWorker worker{1};
  updater::ServerRuntime runtime;
  platform::fake::FakeWindow window;
  platform::fake::FakeDialogs dialogs;
  FakeHttpTransport transport;
  updater::UpdateContext context;
  std::vector<std::chrono::milliseconds> pauses;
};

// A site that is down for three tries and then comes back: the worker gets
// to ready on its own, after pauses of 15, 30 and 60 s, and the log names
// the host and the reason of each failed try.
TEST(SiteRetry, ASiteThatComesBackIsReachedWithoutARestart) {
  RetryFixture f(3);
  runUntilSiteAnswers(f.context, {}, [&f](std::chrono::milliseconds pause, const updater::UpdaterWorker&) {
    f.pauses.push_back(pause);
  });
  const std::string preparing = "ERROR " + std::string(updater::kTextUpdaterPreparing);
  EXPECT_EQ(f.endings(), (std::vector<std::string>{preparing, preparing, preparing, "READY"}));
  EXPECT_EQ(f.pauses, (std::vector<std::chrono::milliseconds>{15s, 30s, 60s}));
  EXPECT_EQ(readFile(f.root / "eu/a.pak"), "alpha");
  const std::string log = readFile(f.root / "curl_download.log");
  for (const char* next : {"15 s", "30 s", "1 min"}) {
    EXPECT_NE(log.find("] Site site.test not reached (curl_easy_perform error: Could not resolve hostname), next try "
                       "in " +
                       std::string(next) + "\n"),
              std::string::npos)
        << log;
  }
}

// A cancel during a pause (a server switch, the window closing) ends the
// worker without another try.
TEST(SiteRetry, ACancelDuringThePauseEndsTheWorker) {
  RetryFixture f(5);
  runUntilSiteAnswers(f.context, {}, [&f](std::chrono::milliseconds pause, const updater::UpdaterWorker&) {
    f.pauses.push_back(pause);
    if (f.pauses.size() == 2) f.worker.cancel = true;
  });
  EXPECT_EQ(f.pauses.size(), 2u);
  EXPECT_EQ(f.endings().size(), 2u);
  // The real pause hears the cancel at once.
  RetryFixture g(5);
  const auto start = std::chrono::steady_clock::now();
  std::thread body([&g] { runUntilSiteAnswers(g.context, {10min, 10min}); });
  std::this_thread::sleep_for(200ms);
  g.worker.cancel = true;
  body.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(g.endings().size(), 1u);
}

}  // namespace
}  // namespace kv::app
