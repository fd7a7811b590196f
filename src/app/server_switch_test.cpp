#include "app/server_switch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "support/temp_dir.h"
#include "updater/server_profiles.h"

namespace kv::app {
namespace {

using platform::fake::FakePlatform;
using settings::SettingsFile;
using test::exists;
using test::readFile;
using test::TempDir;
using test::writeFile;

// An application state over a fake platform, installed in a temporary folder.
struct SwitchFixture {
  TempDir dir;
  FakePlatform fake;
  AppState state;
  std::vector<std::string> calls;
  std::vector<int> workersRun;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ServerHooks hooks;

  SwitchFixture()
      : state(fake.platform, settings::SettingsLocations{dir / "inst", dir / "home", [this] {
                                                           return updater::serverFolder(
                                                               state.currentServer);
                                                         }}) {
    writeFile(dir / "inst/.keep", "");
    writeFile(dir / "home/.keep", "");
    state.baseFolder = dir / "inst";
    hooks.reloadUiResources = [this] { calls.push_back("reloadUi"); };
    hooks.refreshConfigPathLine = [this] { calls.push_back("refreshPath"); };
    hooks.runWorker = [this](updater::UpdaterWorker& worker) {
      std::lock_guard<std::mutex> lock(mutex);
      workersRun.push_back(worker.server);
    };
  }
  std::mutex mutex;
};

TEST(ServerSwitch, SameServerChangesNothing) {
  SwitchFixture f;
  f.state.currentServer = 2;
  writeFile(f.dir / "inst/system.kvml", "server: 2\n");
  switchServer(f.state, 2, f.hooks);
  EXPECT_TRUE(f.calls.empty());
  EXPECT_EQ(f.fake.window.fullInvalidations(), 0);
  EXPECT_FALSE(f.state.settings.table(SettingsFile::System).loaded);
  f.state.settings.saveAllSettings();
  EXPECT_EQ(readFile(f.dir / "inst/system.kvml"), "server: 2\n");
}

TEST(ServerSwitch, SwitchReloadsConfigurationAndStartsOnlyTheTargetsWorker) {
  SwitchFixture f;
  f.state.currentServer = 1;
  writeFile(f.dir / "inst/eu/config/config.kvml", "musicSoundVolume: 30\n");
  writeFile(f.dir / "inst/us/config/config.kvml", "musicSoundVolume: 70\nenableAudio: false\n");
  writeFile(f.dir / "inst/us/manifest.meta", "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\n");
  startServerUpdater(f.state, 1, f.hooks);
  auto euWorker = f.state.runtimes[1].worker;
  ASSERT_TRUE(euWorker);
  loadServerSettings(f.state);
  EXPECT_EQ(f.state.ui.audio.musicSoundVolume, 30);
  f.state.settings.setInt(SettingsFile::Config, "uiSoundVolume", 55);  // pending change of EU

  switchServer(f.state, 2, f.hooks);

  EXPECT_EQ(f.state.currentServer, 2);
  EXPECT_EQ(f.state.ui.audio.musicSoundVolume, 70);
  EXPECT_FALSE(f.state.ui.audio.enableAudio);
  EXPECT_EQ(f.state.ui.audio.uiSoundVolume, 100);  // EU's pending value did not leak
  EXPECT_NE(readFile(f.dir / "inst/eu/config/config.kvml").find("uiSoundVolume: 55"),
            std::string::npos);  // the old server's configuration was saved
  EXPECT_EQ(f.state.settings.getInt(SettingsFile::System, "server", 0), 2);
  EXPECT_EQ(f.state.runtimes[2].storedLastModified(), "Tue, 01 Dec 2026 10:00:00 GMT");
  EXPECT_EQ((std::vector<std::string>{"reloadUi", "refreshPath"}), f.calls);
  EXPECT_EQ(f.state.runtimes[1].worker, euWorker);  // left running, not restarted
  EXPECT_FALSE(euWorker->cancel.load());
  ASSERT_TRUE(f.state.runtimes[2].worker);
  EXPECT_EQ(f.state.status[2].statusText, "Connecting...");
  EXPECT_EQ(f.state.ui.widgets[ui::kPlayWidget].state, ui::WidgetState::Disabled);

  // Back to EU: no new worker, its stored status is shown as it is.
  f.state.status[1].statusText = "Downloading";
  f.state.status[1].progress = 0.25f;
  switchServer(f.state, 1, f.hooks);
  EXPECT_EQ(f.state.runtimes[1].worker, euWorker);
  EXPECT_EQ(f.state.status[1].statusText, "Downloading");
  EXPECT_FLOAT_EQ(f.state.status[1].progress, 0.25f);

  for (auto& runtime : f.state.runtimes) {
    if (runtime.worker && runtime.worker->thread.joinable()) runtime.worker->thread.join();
  }
  std::lock_guard<std::mutex> lock(f.mutex);
  std::vector<int> run = f.workersRun;
  std::sort(run.begin(), run.end());
  EXPECT_EQ(run, (std::vector<int>{1, 2}));
}

TEST(ServerSwitch, ReadyServerIsShownReadyAndPlayEnabled) {
  SwitchFixture f;
  f.state.currentServer = 1;
  f.state.runtimes[2].worker = std::make_shared<updater::UpdaterWorker>(2);
  f.state.status[2].ready = true;
  f.state.status[2].progress = 0.4f;
  f.state.ui.widgets[ui::kPlayWidget].state = ui::WidgetState::Disabled;
  switchServer(f.state, 2, f.hooks);
  EXPECT_FLOAT_EQ(f.state.status[2].progress, 1.0f);
  EXPECT_EQ(f.state.status[2].statusText, "Client is ready to play");
  EXPECT_EQ(f.state.ui.widgets[ui::kPlayWidget].state, ui::WidgetState::Normal);
  EXPECT_TRUE(f.workersRun.empty());
}

TEST(ServerSwitch, InvalidServersStartNoWorker) {
  for (int server : {0, 3, -1}) {
    SwitchFixture f;
    startServerUpdater(f.state, server, f.hooks);
    for (const auto& runtime : f.state.runtimes) EXPECT_FALSE(runtime.worker) << server;
  }
}

TEST(MachineIdentity, RemovesOnlyTheCurrentServersManifestsWhenTheIdentityChanges) {
  struct Case {
    std::string stored;    // machine_id in system.kvml ("" = none)
    std::string identity;  // what the machine says
    bool removed;
  };
  const std::vector<Case> cases = {
      {"", "abc", true},         // first start
      {"old", "abc", true},      // another machine
      {"abc", "abc", false},     // same machine
      {"unknown", "unknown", false},
      {"abc", "abcd", true},     // exact comparison
  };
  for (const Case& c : cases) {
    SwitchFixture f;
    f.state.currentServer = 1;
    f.fake.machine.identity = c.identity;
    if (!c.stored.empty()) writeFile(f.dir / "inst/system.kvml", "machine_id: " + c.stored + "\n");
    for (const char* server : {"eu", "us"}) {
      writeFile(f.dir / ("inst/" + std::string(server) + "/manifest.json"), "[]");
      writeFile(f.dir / ("inst/" + std::string(server) + "/manifest.meta"), "Last-Modified: x\n");
    }
    checkMachineIdentity(f.state);
    EXPECT_EQ(!exists(f.dir / "inst/eu/manifest.json"), c.removed) << c.stored << "/" << c.identity;
    EXPECT_EQ(!exists(f.dir / "inst/eu/manifest.meta"), c.removed) << c.stored;
    EXPECT_TRUE(exists(f.dir / "inst/us/manifest.json"));
    EXPECT_TRUE(exists(f.dir / "inst/us/manifest.meta"));
    if (c.removed) {
      // Saved at once, not at shutdown.
      EXPECT_EQ(readFile(f.dir / "inst/system.kvml"), "machine_id: " + c.identity + "\n");
    }
  }
}

TEST(UpdaterWorker, CancelReachesARunningBodyAndTheRecordOutlivesTracking) {
  auto worker = std::make_shared<updater::UpdaterWorker>(1);
  std::promise<void> started;
  std::promise<bool> sawCancel;
  std::weak_ptr<updater::UpdaterWorker> weak = worker;
  updater::startUpdaterWorker(worker, [&](updater::UpdaterWorker& w) {
    started.set_value();
    while (!w.cancel.load()) std::this_thread::yield();
    sawCancel.set_value(true);
  });
  started.get_future().wait();
  EXPECT_TRUE(worker->running.load());
  // A second start while running does nothing.
  bool secondRan = false;
  updater::startUpdaterWorker(worker, [&](updater::UpdaterWorker&) { secondRan = true; });
  updater::cancelAndDetach(*worker);
  worker.reset();  // the launcher stops tracking it
  auto result = sawCancel.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(result.get());
  EXPECT_FALSE(secondRan);
}

}  // namespace
}  // namespace kv::app
