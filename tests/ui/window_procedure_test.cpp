#include "app/window_procedure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ui_test_helpers.h"
#include "ui/ui_resources.h"
#include "updater/server_profiles.h"

namespace kv::app {
namespace {

using platform::Cursor;
using platform::Report;
using platform::ReportKind;
using platform::fake::FakeCanvas;
using platform::fake::FakePlatform;
using ui::WidgetState;

class WindowProcedureTest : public ::testing::Test {
 protected:
  WindowProcedureTest()
      : state(fake.platform, settings::SettingsLocations{dir.path(), dir / "home", [this] {
                return updater::serverFolder(state.currentServer);
              }}) {
    state.baseFolder = dir.path();
    state.currentServer = 1;
    state.site.siteHost = "site.test";
    ui::testing::writeServerArt(dir / "eu");
    ui::testing::writeServerArt(dir / "us");
    kv::test::writeFile(dir / "home/.keep", "");
    (void)fake.audio.openDevice();
    loadUiResources(state);
    play().state = WidgetState::Normal;
    actions.shutdown = [this] { log.push_back("shutdown"); };
    actions.play = [this] { log.push_back("play"); };
    actions.switchServer = [this](int s) {
      log.push_back("switch " + std::to_string(s));
      state.currentServer = s;
      reloadUiResources(state);
      refreshConfigPathLine(state);
    };
    actions.toggleLocalConfig = [this] { log.push_back("local"); };
    actions.exportConfiguration = [this] { log.push_back("export"); };
    actions.importConfiguration = [this] { log.push_back("import"); };
    actions.resetConfiguration = [this] { log.push_back("reset"); };
    fake.window.clearInvalidations();
  }

  ui::Widget& play() { return state.ui.widgets[ui::kPlayWidget]; }
  ui::Widget& widget(int i) { return state.ui.widgets[i]; }
  int clicks() { return fake.audio.opened[dir / "eu/data/sounds/click.wav"]->playCount(); }
  void click(int x, int y) {
    pointerMove(state, x, y);
    buttonDown(state, actions, x, y);
    buttonUp(state, actions, x, y);
  }

  kv::test::TempDir dir;
  FakePlatform fake;
  AppState state;
  LauncherActions actions;
  std::vector<std::string> log;
};

TEST_F(WindowProcedureTest, ReportTable) {
  struct Case {
    Report report;
    float progress;
    std::string text;
    bool ready;
    WidgetState play;
  };
  const Case cases[] = {
      {{ReportKind::Status, 1, "Checking updates...", 0}, 0.0f, "Checking updates...", false,
       WidgetState::Normal},
      {{ReportKind::Progress, 1, "", 0.25f}, 0.25f, "Checking updates...", false,
       WidgetState::Normal},
      {{ReportKind::Error, 1, "Failed to download manifest", 0}, 0.25f,
       "Failed to download manifest", false, WidgetState::Disabled},
      {{ReportKind::Ready, 1, "", 0}, 1.0f, "Client is ready to play", true, WidgetState::Normal},
      {{ReportKind::Status, 1, "Downloading", 0}, 1.0f, "Downloading", false, WidgetState::Normal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    fake.window.clearInvalidations();
    const WidgetState before = play().state;
    applyReport(state, c.report);
    const ServerStatus& s = state.status[1];
    EXPECT_FLOAT_EQ(s.progress, c.progress);
    EXPECT_EQ(s.statusText, c.text);
    EXPECT_EQ(s.ready, c.ready);
    EXPECT_EQ(play().state, c.play);
    EXPECT_EQ(fake.window.fullInvalidations(), 1);
    EXPECT_EQ(fake.window.rectInvalidations().size(), before != c.play ? 1u : 0u);
  }
}

TEST_F(WindowProcedureTest, ReportsForTheOtherServerAreStoredWithoutRepaint) {
  applyReport(state, {ReportKind::Progress, 2, "", 0.4f});
  applyReport(state, {ReportKind::Error, 2, "Connection failed", 0});
  EXPECT_FLOAT_EQ(state.status[2].progress, 0.4f);
  EXPECT_EQ(state.status[2].statusText, "Connection failed");
  EXPECT_EQ(play().state, WidgetState::Normal);
  applyReport(state, {ReportKind::Ready, 2, "", 0});
  EXPECT_TRUE(state.status[2].ready);
  EXPECT_EQ(fake.window.fullInvalidations(), 0);
  EXPECT_TRUE(fake.window.rectInvalidations().empty());
}

TEST_F(WindowProcedureTest, InvalidServerIndexIsIgnored) {
  for (int server : {0, 3, -1, 1000}) {
    applyReport(state, {ReportKind::Ready, server, "", 0});
    applyReport(state, {ReportKind::Status, server, "x", 0});
  }
  for (const ServerStatus& s : state.status) {
    EXPECT_FALSE(s.ready);
    EXPECT_TRUE(s.statusText.empty());
  }
  EXPECT_EQ(fake.window.fullInvalidations(), 0);
}

TEST_F(WindowProcedureTest, ErrorDisablesPlaySoItCannotBePressed) {
  applyReport(state, {ReportKind::Error, 1, "boom", 0});
  buttonDown(state, actions, 400, 250);
  EXPECT_EQ(state.ui.pressedWidget, -1);
  buttonUp(state, actions, 400, 250);
  EXPECT_TRUE(log.empty());
  pointerMove(state, 400, 250);
  EXPECT_EQ(play().state, WidgetState::Disabled);
}

TEST_F(WindowProcedureTest, HoverTracking) {
  pointerMove(state, 400, 250);
  EXPECT_EQ(play().state, WidgetState::Hover);
  EXPECT_EQ(fake.window.rectInvalidations().size(), 1u);
  pointerMove(state, 401, 251);  // no change, no repaint
  EXPECT_EQ(fake.window.rectInvalidations().size(), 1u);
  pointerMove(state, 100, 240);
  EXPECT_EQ(play().state, WidgetState::Normal);
  EXPECT_EQ(widget(ui::kSignUpWidget).state, WidgetState::Hover);
  // Hidden widgets keep their state.
  state.ui.page = ui::ScreenPage::AudioTab;
  pointerMove(state, 60, 60);
  EXPECT_EQ(widget(ui::kSignUpWidget).state, WidgetState::Hover);
  EXPECT_EQ(widget(ui::kSystemTabWidget).state, WidgetState::Hover);
}

TEST_F(WindowProcedureTest, PressLeaveReleaseOutsideDoesNothing) {
  pointerMove(state, 400, 250);
  buttonDown(state, actions, 400, 250);
  EXPECT_EQ(play().state, WidgetState::Pressed);
  EXPECT_TRUE(fake.window.captured);
  pointerMove(state, 100, 100);
  EXPECT_EQ(play().state, WidgetState::Normal);
  // Other widgets are not touched while one is pressed.
  pointerMove(state, 100, 240);
  EXPECT_EQ(widget(ui::kSignUpWidget).state, WidgetState::Normal);
  buttonUp(state, actions, 100, 240);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(clicks(), 0);
  EXPECT_FALSE(fake.window.captured);
  EXPECT_EQ(state.ui.pressedWidget, -1);
}

TEST_F(WindowProcedureTest, PressLeaveComeBackReleaseLaunches) {
  buttonDown(state, actions, 400, 250);
  pointerMove(state, 10, 300);
  EXPECT_EQ(play().state, WidgetState::Normal);
  pointerMove(state, 320, 230);
  EXPECT_EQ(play().state, WidgetState::Pressed);
  buttonUp(state, actions, 320, 230);
  EXPECT_EQ(log, std::vector<std::string>{"play"});
  EXPECT_EQ(clicks(), 1);
  // The pressed look stays until the next move.
  EXPECT_EQ(play().state, WidgetState::Pressed);
  pointerMove(state, 320, 230);
  EXPECT_EQ(play().state, WidgetState::Hover);
}

TEST_F(WindowProcedureTest, ReleaseOverAnotherWidgetRunsNothing) {
  buttonDown(state, actions, 100, 240);  // Sign up
  buttonUp(state, actions, 200, 240);    // Website
  EXPECT_TRUE(fake.shell.urls.empty());
  EXPECT_EQ(clicks(), 0);
}

TEST_F(WindowProcedureTest, WidgetActions) {
  click(100, 240);
  click(200, 240);
  ASSERT_EQ(fake.shell.urls.size(), 2u);
  EXPECT_EQ(fake.shell.urls[0], "https://eu.site.test/sign_up.php");
  EXPECT_EQ(fake.shell.urls[1], "https://eu.site.test/index.php");
  click(450, 20);
  EXPECT_TRUE(fake.window.minimized);
  EXPECT_EQ(clicks(), 3);

  click(50, 20);  // sound widget: master off, clicks silent from now on
  EXPECT_FALSE(state.ui.audio.enableAudio);
  EXPECT_EQ(widget(ui::kSoundWidget).imagePath, dir / "eu/data/images/sound_off.png");
  EXPECT_EQ(clicks(), 3);
  click(50, 20);
  EXPECT_TRUE(state.ui.audio.enableAudio);
  EXPECT_EQ(clicks(), 4);

  click(20, 20);  // options
  EXPECT_EQ(state.ui.page, ui::ScreenPage::SystemTab);
  click(60, 90);  // Audio tab
  EXPECT_EQ(state.ui.page, ui::ScreenPage::AudioTab);
  EXPECT_EQ(state.ui.audioControls.size(), 5u);
  click(60, 120);  // Control Settings tab
  EXPECT_EQ(state.ui.page, ui::ScreenPage::ControlSettingsTab);
  click(60, 60);  // System tab
  EXPECT_EQ(state.ui.page, ui::ScreenPage::SystemTab);
  click(20, 20);
  EXPECT_EQ(state.ui.page, ui::ScreenPage::MainScreen);

  click(480, 20);  // close
  EXPECT_EQ(log, std::vector<std::string>{"shutdown"});
}

TEST_F(WindowProcedureTest, CloseSavesSettingsFirst) {
  state.settings.setInt(settings::SettingsFile::Config, "uiSoundVolume", 42);
  click(480, 20);
  EXPECT_FALSE(state.settings.table(settings::SettingsFile::Config).dirty);
  EXPECT_NE(kv::test::readFile(state.settings.table(settings::SettingsFile::Config).path)
                .find("uiSoundVolume: 42"),
            std::string::npos);
}

TEST_F(WindowProcedureTest, DestroySavesAndShutsDown) {
  state.settings.setBool("enableUISound", false);
  LauncherWindowHandler handler(state, actions);
  handler.onDestroy();
  EXPECT_FALSE(state.settings.table(settings::SettingsFile::Config).dirty);
  EXPECT_EQ(log, std::vector<std::string>{"shutdown"});
}

TEST_F(WindowProcedureTest, CursorAndDragBand) {
  struct Case {
    int x, y;
    bool drag;
    Cursor cursor;
  };
  const Case cases[] = {
      {200, 0, true, Cursor::Arrow},   {200, 40, true, Cursor::Arrow},
      {200, 41, false, Cursor::Arrow}, {480, 20, false, Cursor::Hand},
      {20, 9, false, Cursor::Hand},    {20, 8, true, Cursor::Arrow},
      {76, 20, true, Cursor::Arrow},   {400, 250, false, Cursor::Hand},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isDragArea(state, c.x, c.y), c.drag) << c.x << "," << c.y;
    EXPECT_EQ(cursorAt(state, c.x, c.y), c.cursor) << c.x << "," << c.y;
  }
  play().state = WidgetState::Disabled;
  EXPECT_EQ(cursorAt(state, 400, 250), Cursor::Arrow);
}

TEST_F(WindowProcedureTest, SliderDragBeyondTheWindowAndReleaseOutside) {
  click(20, 20);
  click(60, 90);
  ASSERT_EQ(state.ui.page, ui::ScreenPage::AudioTab);
  const int clicksBefore = clicks();
  fake.window.clearInvalidations();
  buttonDown(state, actions, 300, 190);  // music volume track
  EXPECT_TRUE(state.ui.sliderDragging);
  EXPECT_TRUE(fake.window.captured);
  EXPECT_EQ(fake.window.fullInvalidations(), 1);
  EXPECT_EQ(state.ui.audio.musicSoundVolume, 1 + (101 * 99) / 245);
  pointerMove(state, -300, 500);
  EXPECT_EQ(state.ui.audio.musicSoundVolume, 1);
  pointerMove(state, 900, 500);
  EXPECT_EQ(state.ui.audio.musicSoundVolume, 100);
  pointerMove(state, -1, 500);
  buttonUp(state, actions, -1, 500);
  EXPECT_FALSE(state.ui.sliderDragging);
  EXPECT_FALSE(fake.window.captured);
  EXPECT_EQ(state.ui.audio.musicSoundVolume, 1);
  EXPECT_EQ(state.settings.getInt(settings::SettingsFile::Config, "musicSoundVolume", 100), 1);
  EXPECT_EQ(clicks(), clicksBefore);  // no click for a slider
  // Moving after the drag no longer changes the value.
  pointerMove(state, 400, 190);
  EXPECT_EQ(state.ui.audio.musicSoundVolume, 1);
}

TEST_F(WindowProcedureTest, AudioTabCheckboxesToggleSettings) {
  click(20, 20);
  click(60, 90);
  buttonDown(state, actions, 205, 210);  // Enable sound
  buttonUp(state, actions, 205, 210);
  EXPECT_FALSE(state.ui.audio.enableAudio);
  auto* music = fake.audio.opened[dir / "eu/data/sounds/music.mp3"];
  EXPECT_FALSE(music->isPlaying());
  buttonDown(state, actions, 205, 150);  // Enable music sound: off
  buttonDown(state, actions, 205, 150);  // and on again: plays despite master off
  EXPECT_TRUE(music->isPlaying());
  EXPECT_EQ(state.settings.getString(settings::SettingsFile::Config, "enableAudio"), "false");
  EXPECT_EQ(widget(ui::kSoundWidget).imagePath, dir / "eu/data/images/sound_off.png");
}

TEST_F(WindowProcedureTest, SwitchFromTheSystemTabSelectsUs) {
  kv::test::writeFile(dir / "us/config/config.kvml", "enableAudio: true\n");
  click(20, 20);
  EXPECT_FALSE(state.ui.localConfigFlag);
  ASSERT_EQ(state.ui.page, ui::ScreenPage::SystemTab);
  buttonDown(state, actions, 210, 110);  // "US"
  buttonUp(state, actions, 210, 110);
  EXPECT_EQ(log, std::vector<std::string>{"switch 2"});
  EXPECT_EQ(state.currentServer, 2);
  EXPECT_EQ(widget(ui::kOptionsWidget).imagePath, dir / "us/data/images/options_on.png");
  FakeCanvas canvas;
  paintWindow(state, canvas);
  bool usSelected = false, euSelected = false;
  for (const auto& c : canvas.calls) {
    if (c.kind != platform::fake::DrawCall::Kind::Fill || c.colour != 0xFFFFE5B4u) continue;
    usSelected = usSelected || c.rect.x == 199;
    euSelected = euSelected || c.rect.x == 269;
  }
  EXPECT_TRUE(usSelected);
  EXPECT_FALSE(euSelected);
  const auto& last = state.ui.systemControls.back();
  EXPECT_EQ(last.top, 196);
  EXPECT_EQ(std::get<std::string>(last.value), dir / "us/config");
  EXPECT_TRUE(state.ui.localConfigFlag);
}

TEST_F(WindowProcedureTest, PaintShowsTheCurrentServersStatus) {
  applyReport(state, {ReportKind::Progress, 2, "", 0.5f});
  applyReport(state, {ReportKind::Status, 1, "Connecting...", 0});
  applyReport(state, {ReportKind::Progress, 1, "", 1.0f});
  FakeCanvas canvas;
  paintWindow(state, canvas);
  bool full = false, connecting = false;
  for (const auto& c : canvas.calls) {
    full = full || (c.colour == 0xCCFFA500u && c.rect.width == 294);
    connecting = connecting || c.text == "Connecting...";
  }
  EXPECT_TRUE(full);
  EXPECT_TRUE(connecting);
}

// A fresh installation starts without the server's data folder; it arrives
// with the first update, and the ready report then loads the interface.
TEST_F(WindowProcedureTest, ReadyReloadsResourcesThatWereMissing) {
  struct Case {
    const char* name;
    bool dataAtStart;
    bool dataAtReady;
    int readyServer;
    bool reloads;
    bool complete;  // after the report
  };
  const Case cases[] = {
      {"first update brought the data", false, true, 1, true, true},
      {"data there from the start", true, true, 1, false, true},
      {"other server became ready", false, true, 2, false, false},
      {"update brought no data", false, false, 1, false, false},
  };
  const std::string music = dir / "eu/data/sounds/music.mp3";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir / "eu/data");
    state.status[1].ready = false;
    if (c.dataAtStart) ui::testing::writeServerArt(dir / "eu");
    reloadUiResources(state);
    EXPECT_EQ(state.ui.resourcesIncomplete, !c.dataAtStart);
    if (c.dataAtReady) ui::testing::writeServerArt(dir / "eu");
    const std::size_t loadsBefore = fake.graphics.imageLoads.size();
    const platform::Sound* musicBefore = state.ui.music.get();
    const int musicPlaysBefore =
        musicBefore != nullptr ? fake.audio.opened[music]->playCount() : 0;
    fake.window.clearInvalidations();

    applyReport(state, {ReportKind::Ready, c.readyServer, "", 0});

    EXPECT_EQ(fake.graphics.imageLoads.size() > loadsBefore, c.reloads);
    EXPECT_EQ(state.ui.resourcesIncomplete, !c.complete);
    const bool art = state.ui.background && state.ui.background->ok();
    EXPECT_EQ(art, c.complete);
    EXPECT_EQ(play().label.empty(), !c.complete);
    // The music starts as after a server switch (both switches are on).
    const bool musicPlaying = state.ui.music && state.ui.music->isPlaying();
    EXPECT_EQ(musicPlaying, c.complete);
    if (!c.reloads && musicBefore != nullptr) {  // the music plays on, untouched
      EXPECT_EQ(state.ui.music.get(), musicBefore);
      EXPECT_EQ(fake.audio.opened[music]->playCount(), musicPlaysBefore);
    }
    EXPECT_EQ(play().state, c.readyServer == 1 ? WidgetState::Normal : WidgetState::Disabled);
    EXPECT_EQ(fake.window.fullInvalidations(), c.readyServer == 1 ? 1 : 0);
  }
}

}  // namespace
}  // namespace kv::app

namespace kv::app {
namespace {

// An optional file the site does not publish stays missing on every start;
// the ready report then reloads nothing and the music plays on. A launcher
// that is closing loads nothing again.
TEST_F(WindowProcedureTest, ReadyReloadsNothingWhenNothingArrived) {
  struct Case {
    const char* name;
    std::vector<std::string> missingAtStart;
    bool arrives;  // the missing files are there at the report
    bool quitting;
    bool reloads;
  };
  const Case cases[] = {
      {"optional icon never published", {kWebsiteIconPath}, false, false, false},
      {"optional icon published later", {kWebsiteIconPath}, true, false, true},
      {"launcher closing", {kBackgroundPath}, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir / "eu/data");
    ui::testing::writeServerArt(dir / "eu", c.missingAtStart);
    state.quitting = false;
    reloadUiResources(state);
    ASSERT_TRUE(state.ui.resourcesIncomplete);
    if (c.arrives) ui::testing::writeServerArt(dir / "eu");
    state.quitting = c.quitting;
    const std::size_t loadsBefore = fake.graphics.imageLoads.size();
    const platform::Sound* musicBefore = state.ui.music.get();
    ASSERT_NE(musicBefore, nullptr);
    ASSERT_TRUE(musicBefore->isPlaying());

    applyReport(state, {ReportKind::Ready, 1, "", 0});

    EXPECT_EQ(fake.graphics.imageLoads.size() > loadsBefore, c.reloads);
    // Without a reload the same music plays on, never started again.
    EXPECT_EQ(state.ui.music.get() != musicBefore, c.reloads);
  }
  state.quitting = false;
}

// Play shows the current server's readiness after every action that rebuilt
// the interface (local-configuration toggle, reset, server switch) or
// refreshed it after an import; the sound widget shows the master switch.
TEST_F(WindowProcedureTest, PlayAndSoundWidgetFollowTheStateAfterEachAction) {
  struct Case {
    const char* name;
    bool ready;
    bool import;  // else the resources are rebuilt
    bool soundBefore;
    bool soundAfter;
  };
  const Case cases[] = {
      {"rebuild while ready", true, false, true, true},
      {"rebuild while not ready", false, false, true, true},
      {"rebuild turning sound off", true, false, true, false},
      {"import while ready turning sound on", true, true, false, true},
      {"import while ready turning sound off", true, true, true, false},
      {"import while not ready", false, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state.status[1].ready = c.ready;
    state.ui.audio.enableAudio = c.soundBefore;
    reloadUiResources(state);
    state.ui.audio.enableAudio = c.soundAfter;  // what the action read from the configuration
    fake.window.clearInvalidations();
    if (c.import) {
      refreshUiAfterImport(state);
    } else {
      reloadUiResources(state);
    }
    EXPECT_EQ(play().state, c.ready ? WidgetState::Normal : WidgetState::Disabled);
    EXPECT_EQ(widget(ui::kSoundWidget).imagePath,
              dir / "eu" + (c.soundAfter ? kSoundImagePath : kSoundOffImagePath));
    if (c.import) {  // the sound widget is repainted
      const auto rects = fake.window.rectInvalidations();
      const platform::Rect sound = widget(ui::kSoundWidget).rect;
      EXPECT_NE(std::find(rects.begin(), rects.end(), sound), rects.end());
    }
  }
}

}  // namespace
}  // namespace kv::app
