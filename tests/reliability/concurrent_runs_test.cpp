// Both servers' updaters at once, driven the way the launcher drives them:
// workers started by the server switch, their reports delivered to the
// window's event handling on the test's (main) thread, the server switched
// back and forth while both run, and the shutdown while both run. Built with
// ThreadSanitizer by scripts/tsan, where no report may appear.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "app/app_state.h"
#include "app/launcher_actions.h"
#include "app/server_switch.h"
#include "app/window_procedure.h"
#include "platform/fake/fake_platform.h"
#include "updater/manifest.h"
#include "updater/manifest_meta.h"
#include "updater/server_profiles.h"
#include "updater/update_harness.h"
#include "updater/update_run.h"

namespace kv::test {
namespace {

constexpr auto kRunLimit = std::chrono::seconds(240);
constexpr int kFilesPerServer = 40;
const char* const kBuild = "vdclient_dx_x64";

// Hands reports on to the window and wakes the main thread; counts the
// worker bodies that ended. Any thread.
class Wakeup : public platform::ReportSink {
 public:
  explicit Wakeup(platform::ReportSink& window) : window_(window) {}
  bool post(platform::Report report) override {
    const bool ok = window_.post(std::move(report));
    notify([] {});
    return ok;
  }
  void bodyEnded() {
    notify([this] { ++ended_; });
  }
  int ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }
  // Waits until something was posted or a body ended, at most until
  // deadline. False once the deadline has passed.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return events_ != seen_; });
    seen_ = events_;
    return std::chrono::steady_clock::now() < deadline;
  }

 private:
  // Notifies under the lock: once the main thread sees the change, this
  // thread no longer touches the object, which may then go.
  template <typename Fn>
  void notify(Fn&& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    ++events_;
    changed_.notify_all();
  }
  platform::ReportSink& window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  long events_ = 0;  // guarded by mutex_
  long seen_ = 0;    // guarded by mutex_
  int ended_ = 0;    // guarded by mutex_
};

// The launcher's state over the fake platform with real update runs. Kept
// on the heap and never freed while a detached worker may still read it.
struct Launch {
  platform::fake::FakePlatform fake;
  app::AppState state;
  app::LauncherActions actions;
  app::ServerHooks hooks;
  Wakeup wakeup{fake.window};
  app::LauncherWindowHandler handler{state, actions};

  Launch(const Sandbox& sandbox, const std::string& host)
      : state(fake.platform, settings::SettingsLocations{sandbox.install(), sandbox.state("home"), [this] {
                                                           return updater::serverFolder(state.currentServer);
                                                         }}) {
    state.baseFolder = sandbox.install();
    state.site = {host, testCertificates().caFile};
    state.clientBuild = kBuild;
    state.currentServer = 1;
    fake.window.handler = &handler;
    actions.switchServer = [this](int target) { app::switchServer(state, target, hooks); };
    hooks.reloadUiResources = [this] { app::reloadUiResources(state); };
    hooks.refreshConfigPathLine = [this] { app::refreshConfigPathLine(state); };
    hooks.runWorker = [this](updater::UpdaterWorker& worker) {
      updater::UpdateContext context;
      context.worker = &worker;
      context.runtime = &state.runtimes[static_cast<std::size_t>(worker.server)];
      context.reports = &wakeup;
      context.dialogs = &fake.dialogs;
      context.site = state.site;
      context.clientBuild = state.clientBuild;
      context.baseFolder = state.baseFolder;
      context.window = &fake.window;
      context.retryPause = std::chrono::milliseconds(0);
      updater::runUpdate(context);
      wakeup.bodyEnded();
    };
  }

  // Cancels both workers and lets them run out, as the launcher's shutdown.
  void shutdown() {
    state.quitting = true;
    for (int server = updater::kFirstServer; server <= updater::kLastServer; ++server) {
      auto& runtime = state.runtimes[static_cast<std::size_t>(server)];
      if (runtime.worker) updater::cancelAndDetach(*runtime.worker);
      runtime.worker.reset();
    }
  }
};

class ConcurrentRuns : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int server = 1; server <= 2; ++server) {
      for (int i = 0; i < kFilesPerServer; ++i) {
        writeFile(sandbox_.client(server) + "/data/f" + std::to_string(i) + ".pak",
                  std::string(20000 + 100 * i, static_cast<char>('a' + server)));
      }
      writeZip(sandbox_.client(server) + "/" + kBuild + ".zip", {{std::string(kBuild) + ".exe", "exe"}});
      sandbox_.publish(server);
    }
    std::string error;
    ASSERT_TRUE(server_.start(sandbox_.site(), sandbox_.state("scripted"), testCertificates(), error)) << error;
    // Every file of both servers fails once before it arrives.
    std::string rules = "{";
    for (const char* folder : {"eu", "us"}) {
      for (int i = 0; i < kFilesPerServer; ++i) {
        if (rules.size() > 1) rules += ",";
        rules +=
            std::string("\"/download/") + folder + "/data/f" + std::to_string(i) + ".pak\": [{\"status\": 500}, {}]";
      }
    }
    server_.setRules(rules + "}");
  }

  Sandbox sandbox_;
  ScriptedServer server_;
};

TEST_F(ConcurrentRuns, BothServersUpdateWhileTheServerSwitches) {
  auto* launch = new Launch(sandbox_, server_.hostPort());
  app::startServerUpdater(launch->state, 1, launch->hooks);
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  int switches = 0;
  for (;;) {
    // A body ends after its last report was posted, so once both ended
    // every report is in the queue.
    const bool bothEnded = launch->wakeup.ended() == 2;
    launch->fake.window.deliverReports();
    if (bothEnded) break;
    // Switch at every wake-up for a while, so both workers keep posting
    // while the shown server changes.
    if (switches < 60) {
      launch->actions.switchServer(launch->state.currentServer == 1 ? 2 : 1);
      ++switches;
    }
    ASSERT_TRUE(launch->wakeup.waitUntil(deadline)) << "the runs did not end in time";
  }
  ASSERT_TRUE(launch->state.status[1].ready && launch->state.status[2].ready)
      << "a run ended without getting ready: " << launch->state.status[1].statusText << " / "
      << launch->state.status[2].statusText;
  EXPECT_GE(switches, 2);
  for (int server = 1; server <= 2; ++server) {
    expectConverged(sandbox_, sandbox_.install(), server, kBuild, sandbox_.quickStamp(server));
  }
  // One run per server: the switches started no second one.
  int versionRequests = 0;
  for (const auto& request : server_.requests()) versionRequests += request.path == "/download/updater.php" ? 1 : 0;
  EXPECT_EQ(versionRequests, 2);
  launch->shutdown();
  delete launch;
}

TEST_F(ConcurrentRuns, ShutdownWhileBothServersUpdate) {
  auto* launch = new Launch(sandbox_, server_.hostPort());
  app::startServerUpdater(launch->state, 1, launch->hooks);
  launch->actions.switchServer(2);
  // Let both runs get going, then shut down under them.
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  while (launch->state.status[1].progress <= 0.0f || launch->state.status[2].progress <= 0.0f) {
    ASSERT_TRUE(launch->wakeup.waitUntil(deadline));
    launch->fake.window.deliverReports();
    if (launch->wakeup.ended() == 2) break;
  }
  launch->shutdown();
  while (launch->wakeup.ended() < 2) ASSERT_TRUE(launch->wakeup.waitUntil(deadline)) << "a worker did not stop";
  // What the cancelled runs recorded is consistent: a whole local manifest
  // whose files are installed, and no stamp unless the run was complete.
  for (int server = 1; server <= 2; ++server) {
    updater::ManifestMap local;
    ASSERT_TRUE(updater::readLocalManifest(sandbox_.serverDir(server), local));
    for (const auto& [path, entry] : local) {
      if (path.size() > 4 && path.substr(path.size() - 4) == ".zip") continue;
      EXPECT_EQ(readFile(sandbox_.serverDir(server) + "/" + path), readFile(sandbox_.client(server) + "/" + path));
    }
  }
  delete launch;
}

// The headless path: two update runs on threads of their own at once, each
// with its own transport, sharing only the installation folder.
TEST_F(ConcurrentRuns, HeadlessRunsOfBothServersAtOnce) {
  RecordedRun runs[2];
  std::thread eu([&] { runs[0] = runUpdateOnce(server_.hostPort(), testCertificates().caFile, sandbox_.install(),
                                               {1, kBuild}); });
  std::thread us([&] { runs[1] = runUpdateOnce(server_.hostPort(), testCertificates().caFile, sandbox_.install(),
                                               {2, kBuild}); });
  eu.join();
  us.join();
  for (int server = 1; server <= 2; ++server) {
    EXPECT_TRUE(runs[server - 1].ready()) << ::testing::PrintToString(runs[server - 1].events());
    expectConverged(sandbox_, sandbox_.install(), server, kBuild, sandbox_.quickStamp(server));
  }
}

}  // namespace
}  // namespace kv::test
