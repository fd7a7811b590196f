#include "app/launcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "support/temp_dir.h"
#include "updater/server_runtime.h"

namespace kv::app {
namespace {

using namespace std::chrono_literals;
using platform::fake::FakePlatform;

constexpr const char* kDownloadAddress = "https://aka.ms/vs/17/release/vc_redist.x64.exe";

// What the updater workers did, recorded from their threads. A worker either
// returns at once or, when blocking, waits for its cancel flag and then for
// the gate, so that a shutdown that waited for it would be seen.
class Workers {
 public:
  Workers(FakePlatform& fake, bool blocking) : fake_(fake), blocking_(blocking) {}
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() {
    openGate();
    waitUntil([this] { return finished_ == static_cast<int>(servers_.size()); });
  }

  std::function<void(updater::UpdaterWorker&)> body() {
    return [this](updater::UpdaterWorker& worker) { run(worker); };
  }

  // Each waits at most 10 s for the count to reach n.
  bool waitStarted(int n) {
    return waitUntil([this, n] { return static_cast<int>(servers_.size()) >= n; });
  }
  bool waitCancelled(int n) { return waitUntil([this, n] { return cancelled_ >= n; }); }
  bool waitFinished(int n) { return waitUntil([this, n] { return finished_ >= n; }); }

  void openGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = true;
    changed_.notify_all();
  }

  std::vector<int> servers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return servers_;
  }
  // Message boxes shown and addresses opened when each worker started.
  std::vector<std::size_t> boxesAtStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxesAtStart_;
  }
  std::vector<std::size_t> urlsAtStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    return urlsAtStart_;
  }
  int finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }

 private:
  template <typename Condition>
  bool waitUntil(Condition condition) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, condition);
  }

  void run(updater::UpdaterWorker& worker) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      servers_.push_back(worker.server);
      // The main thread wrote these before it started this thread.
      boxesAtStart_.push_back(fake_.dialogs.boxes().size());
      urlsAtStart_.push_back(fake_.shell.urls.size());
      changed_.notify_all();
    }
    if (blocking_) {
      for (int i = 0; i < 1000 && !worker.cancel.load(); ++i) std::this_thread::sleep_for(10ms);
      std::unique_lock<std::mutex> lock(mutex_);
      if (worker.cancel.load()) ++cancelled_;
      changed_.notify_all();
      changed_.wait_for(lock, 10s, [this] { return gateOpen_; });
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++finished_;
    changed_.notify_all();
  }

  FakePlatform& fake_;
  const bool blocking_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> servers_;
  std::vector<std::size_t> boxesAtStart_;
  std::vector<std::size_t> urlsAtStart_;
  int cancelled_ = 0;
  int finished_ = 0;
  bool gateOpen_ = false;
};

// The launcher's installation: the program in dir, its system.kvml naming
// the machine (so the identity check removes nothing) and the given lines.
void install(FakePlatform& fake, const kv::test::TempDir& dir, const std::string& systemLines) {
  fake.machine.exePath = dir / "kvlauncher";
  fake.machine.profile = dir / "home";
  fake.machine.identity = "machine-1";
  kv::test::writeFile(dir / "system.kvml", "machine_id: machine-1\n" + systemLines);
  kv::test::writeFile(dir / "home/.keep", "");
}

TEST(Launcher, StartUpWarnsAboutTheRuntimeAndStartsTheSelectedServer) {
  const struct {
    const char* name;
    std::string systemLines;
    bool runtimeInstalled;
    int server;
  } cases[] = {
      {"runtime missing", "server: 1\n", false, 1},
      {"runtime present", "server: 1\n", true, 1},
      {"no server key", "", true, 2},
      {"server 7", "server: 7\n", true, 2},
      {"server not a number", "server: eu\n", true, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kv::test::TempDir dir;
    FakePlatform fake;
    install(fake, dir, c.systemLines);
    fake.machine.runtime = c.runtimeInstalled;
    Workers workers(fake, false);

    EXPECT_EQ(runLauncher(fake.platform, {workers.body()}), 0);
    ASSERT_TRUE(workers.waitFinished(1));

    EXPECT_TRUE(fake.window.created);
    EXPECT_TRUE(fake.window.shown);
    EXPECT_EQ(workers.servers(), std::vector<int>{c.server});
    const auto boxes = fake.dialogs.boxes();
    if (c.runtimeInstalled) {
      EXPECT_TRUE(boxes.empty());
      EXPECT_TRUE(fake.shell.urls.empty());
    } else {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].owner, platform::MessageOwner::None);
      EXPECT_EQ(boxes[0].text,
                "The required Microsoft Visual C++ 2015 Redistributable is missing.\n\n"
                "Click OK to download and install it.");
      EXPECT_EQ(boxes[0].title, "Missing Component");
      EXPECT_EQ(boxes[0].buttons, platform::MessageButtons::Ok);
      EXPECT_EQ(boxes[0].icon, platform::MessageIcon::Warning);
      EXPECT_EQ(fake.shell.urls, std::vector<std::string>{kDownloadAddress});
    }
    // The worker starts only once the warning was closed and the address
    // opened.
    EXPECT_EQ(workers.boxesAtStart(), std::vector<std::size_t>{boxes.size()});
    EXPECT_EQ(workers.urlsAtStart(), std::vector<std::size_t>{fake.shell.urls.size()});
    // Closing the window lets the worker's thread go, as at the end of every
    // launcher.
    ASSERT_NE(fake.window.handler, nullptr);
    fake.window.handler->onDestroy();
    EXPECT_TRUE(fake.window.quitRequested);
  }
}

// Closing the window while both servers' workers are busy cancels both and
// asks the window to quit, without waiting for either worker.
TEST(Launcher, ShutdownCancelsBothWorkersWithoutWaiting) {
  kv::test::TempDir dir;
  FakePlatform fake;
  install(fake, dir, "server: 1\n");
  Workers workers(fake, true);
  ASSERT_EQ(runLauncher(fake.platform, {workers.body()}), 0);
  ASSERT_TRUE(workers.waitStarted(1));
  ASSERT_NE(fake.window.handler, nullptr);
  platform::WindowHandler& window = *fake.window.handler;
  const auto click = [&window](int x, int y) {
    window.onMouseMove(x, y);
    window.onButtonDown(x, y);
    window.onButtonUp(x, y);
  };
  click(20, 20);    // the options widget: the System tab opens
  click(220, 115);  // "US": server 2 becomes current and its worker starts
  ASSERT_TRUE(workers.waitStarted(2));
  EXPECT_EQ(workers.servers(), (std::vector<int>{1, 2}));
  EXPECT_FALSE(fake.window.quitRequested);

  window.onDestroy();

  EXPECT_TRUE(fake.window.quitRequested);
  EXPECT_EQ(workers.finished(), 0);  // both still inside their bodies
  EXPECT_TRUE(workers.waitCancelled(2));
  workers.openGate();
  EXPECT_TRUE(workers.waitFinished(2));
}

}  // namespace
}  // namespace kv::app
