#include "ui/ui_resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/ui_test_helpers.h"
#include "ui/widget_table.h"
#include "ui/widgets.h"

namespace kv::ui {
namespace {

using platform::fake::DrawCall;
using platform::fake::FakeCanvas;
using platform::fake::FakePlatform;

class UiResourcesTest : public ::testing::Test {
 protected:
  void load(const std::vector<std::string>& missing = {}) {
    testing::writeServerArt(folder, missing);
    fake.audio.openDevice();
    createUiResources(ui, fake.graphics, fake.audio, fake.window, folder);
  }
  kv::test::TempDir dir;
  std::string folder = dir / "eu";
  FakePlatform fake;
  UiState ui;
};

TEST_F(UiResourcesTest, LoadsEveryWidgetFromTheServerFolder) {
  load();
  const auto& table = widgetTable();
  for (int i = 0; i < kWidgetCount; ++i) {
    SCOPED_TRACE(i);
    const Widget& w = ui.widgets[i];
    ASSERT_TRUE(w.image);
    EXPECT_TRUE(w.image->ok());
    EXPECT_EQ(w.imagePath, folder + table[i].image);
    EXPECT_EQ(w.rect, (platform::Rect{table[i].x, table[i].y, table[i].width, table[i].height}));
    EXPECT_EQ(w.label, table[i].label);
    EXPECT_EQ(w.iconImage != nullptr, table[i].icon[0] != '\0');
    EXPECT_EQ(w.state, i == kPlayWidget ? WidgetState::Disabled : WidgetState::Normal);
  }
  ASSERT_TRUE(ui.background);
  EXPECT_TRUE(ui.background->ok());
  // Fonts of 10, 11, 12 and 14 points; Play 14, Sign up 11, tabs 10.
  for (int slot = 0; slot < 4; ++slot) {
    ASSERT_TRUE(ui.fonts[slot]);
    EXPECT_EQ(ui.fonts[slot]->pointSize(), kFontPoints[slot]);
  }
  EXPECT_EQ(ui.widgets[kPlayWidget].font->pointSize(), 14.0f);
  EXPECT_EQ(ui.widgets[kSignUpWidget].font->pointSize(), 11.0f);
  EXPECT_EQ(ui.widgets[kSystemTabWidget].font->pointSize(), 10.0f);
  EXPECT_EQ(ui.widgets[kCloseWidget].font, nullptr);
  EXPECT_EQ(ui.widgets[kPlayWidget].colour, 0xFFFFFFFFu);
  // Play was disabled with a repaint of its rectangle.
  const auto rects = fake.window.rectInvalidations();
  ASSERT_EQ(rects.size(), 1u);
  EXPECT_EQ(rects[0], ui.widgets[kPlayWidget].rect);
  // The sounds were opened from the same folder.
  ASSERT_TRUE(ui.music);
  ASSERT_TRUE(ui.click);
  EXPECT_EQ(fake.audio.openLog[0].first, folder + "/data/sounds/music.mp3");
  EXPECT_EQ(fake.audio.openLog[0].second, platform::SoundMode::Streamed);
  EXPECT_EQ(fake.audio.openLog[1].first, folder + "/data/sounds/click.wav");
  EXPECT_EQ(fake.audio.openLog[1].second, platform::SoundMode::Loaded);
}

TEST_F(UiResourcesTest, MissingFontLeavesEveryLabelOut) {
  load({kFontPath});
  for (const Widget& w : ui.widgets) {
    EXPECT_TRUE(w.label.empty());
    EXPECT_EQ(w.font, nullptr);
    EXPECT_EQ(w.colour, 0xFF000000u);
  }
  FakeCanvas canvas;
  for (const Widget& w : ui.widgets) drawWidget(w, canvas);
  for (const DrawCall& c : canvas.calls) EXPECT_NE(c.kind, DrawCall::Kind::Text);
}

TEST_F(UiResourcesTest, MissingPictureKeepsLabelAndHitTest) {
  load({kBigButtonImagePath});
  Widget& play = ui.widgets[kPlayWidget];
  ASSERT_TRUE(play.image);
  EXPECT_FALSE(play.image->ok());
  play.state = WidgetState::Normal;
  FakeCanvas canvas;
  drawWidget(play, canvas);
  ASSERT_EQ(canvas.calls.size(), 1u);
  EXPECT_EQ(canvas.calls[0].kind, DrawCall::Kind::Text);
  EXPECT_EQ(canvas.calls[0].text, "Play");
  EXPECT_EQ(hitTestWidgets(ui, 317, 226), kPlayWidget);
}

// Which missing files count as an incomplete set (the window loads the set
// again when the server becomes ready). Sounds count only with a device.
TEST(UiResourcesCompleteness, AnyMissingResourceMarksTheSetIncomplete) {
  const struct {
    const char* missing;
    bool device;
    bool incomplete;
  } cases[] = {
      {"", true, false},
      {kBackgroundPath, true, true},
      {kFontPath, true, true},
      {kCloseImagePath, true, true},
      {kWebsiteIconPath, true, true},
      {kMusicPath, true, true},
      {kClickPath, true, true},
      {kMusicPath, false, false},
      {kSoundOffImagePath, true, false},  // used only while the master switch is off
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.missing) + (c.device ? "" : " (no device)"));
    kv::test::TempDir dir;
    FakePlatform fake;
    fake.audio.deviceAvailable = c.device;
    fake.audio.openDevice();
    UiState ui;
    testing::writeServerArt(dir / "eu", {c.missing});
    createUiResources(ui, fake.graphics, fake.audio, fake.window, dir / "eu");
    EXPECT_EQ(ui.resourcesIncomplete, c.incomplete);
  }
}

// What the server folder lacks comes from the default art; once the server
// has a file, its own copy is used. Anything not from the server folder
// marks the set incomplete, so that it is loaded again when the server is
// ready.
TEST(UiResourcesDefaultArt, StandsInForWhatTheServerLacks) {
  const struct {
    const char* label;
    std::vector<std::string> serverMissing;  // empty folder: everything
    std::vector<std::string> defaultMissing;
    bool withDefault;
    bool incomplete;
  } cases[] = {
      {"server complete", {}, {}, true, false},
      {"fresh installation", testing::allResourcePaths(), {}, true, true},
      {"server lacks the background and the click", {kBackgroundPath, kClickPath}, {}, true, true},
      {"neither has the background", {kBackgroundPath}, {kBackgroundPath}, true, true},
      {"no default art", {kFontPath}, {}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    kv::test::TempDir dir;
    FakePlatform fake;
    fake.audio.openDevice();
    UiState ui;
    ui.audio.enableAudio = false;  // the sound widget shows sound_off.png
    testing::writeServerArt(dir / "eu", c.serverMissing);
    testing::writeServerArt(dir / "art", c.defaultMissing);
    if (c.withDefault) ui.defaultArtFolder = dir / "art";
    createUiResources(ui, fake.graphics, fake.audio, fake.window, dir / "eu");
    EXPECT_EQ(ui.resourcesIncomplete, c.incomplete);
    const auto lacks = [](const std::vector<std::string>& missing, const std::string& relative) {
      return std::find(missing.begin(), missing.end(), relative) != missing.end();
    };
    const auto expectedFrom = [&](const std::string& relative) {
      const bool stand = c.withDefault && !lacks(c.defaultMissing, relative);
      return (!lacks(c.serverMissing, relative) || !stand ? dir / "eu" : dir / "art") + relative;
    };
    EXPECT_EQ(ui.widgets[kCloseWidget].imagePath, expectedFrom(kCloseImagePath));
    EXPECT_EQ(ui.widgets[kSignUpWidget].iconPath, expectedFrom(kSignUpIconPath));
    EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, expectedFrom(kSoundOffImagePath));
    const auto& background = dynamic_cast<const platform::fake::FakeImage&>(*ui.background);
    EXPECT_EQ(background.path(), expectedFrom(kBackgroundPath));
    EXPECT_EQ(ui.fonts[0] != nullptr, std::filesystem::exists(expectedFrom(kFontPath)));
    ASSERT_GE(fake.audio.openLog.size(), 2u);
    EXPECT_EQ(fake.audio.openLog[1].first, expectedFrom(kClickPath));
    // The server's own file is awaited, whether the default art stood in.
    const std::string ownBackground = dir / "eu" + kBackgroundPath;
    EXPECT_EQ(std::count(ui.missingResources.begin(), ui.missingResources.end(), ownBackground),
              lacks(c.serverMissing, kBackgroundPath) ? 1 : 0);
  }
}

TEST_F(UiResourcesTest, MasterSwitchOffShowsSoundOffPicture) {
  ui.audio.enableAudio = false;
  load();
  EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, folder + "/data/images/sound_off.png");
  ASSERT_TRUE(ui.music);
  EXPECT_FALSE(ui.music->isPlaying());
}

TEST_F(UiResourcesTest, OpenPanelKeepsOptionsOnPictureAcrossReload) {
  load();
  ui.page = ScreenPage::AudioTab;
  releaseUiResources(ui);
  createUiResources(ui, fake.graphics, fake.audio, fake.window, dir / "us");
  EXPECT_EQ(ui.widgets[kOptionsWidget].imagePath, dir / "us/data/images/options_on.png");
  EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, dir / "us/data/images/sound.png");
}

TEST_F(UiResourcesTest, ReleaseDropsEverythingAndDrawsNothing) {
  load();
  releaseUiResources(ui);
  EXPECT_FALSE(ui.background);
  EXPECT_FALSE(ui.music);
  EXPECT_FALSE(ui.click);
  for (const auto& f : ui.fonts) EXPECT_FALSE(f);
  FakeCanvas canvas;
  for (const Widget& w : ui.widgets) {
    EXPECT_FALSE(w.image);
    EXPECT_FALSE(w.iconImage);
    EXPECT_EQ(w.font, nullptr);
    drawWidget(w, canvas);
  }
  EXPECT_TRUE(canvas.calls.empty());
  EXPECT_EQ(ui.widgets[kPlayWidget].label, "Play");  // labels stay
}

TEST_F(UiResourcesTest, RefreshAfterImportDisablesPlayAndSwapsSoundPicture) {
  load();
  ui.widgets[kPlayWidget].state = WidgetState::Normal;
  ui.audio.enableAudio = false;
  ui.audio.musicSoundVolume = 30;
  fake.window.clearInvalidations();
  refreshUiAfterImport(ui, fake.graphics, fake.window);
  EXPECT_EQ(ui.widgets[kPlayWidget].state, WidgetState::Disabled);
  // The sound widget and Play are repainted.
  EXPECT_EQ(fake.window.rectInvalidations(),
            (std::vector<platform::Rect>{ui.widgets[kSoundWidget].rect, ui.widgets[kPlayWidget].rect}));
  EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, folder + "/data/images/sound_off.png");
  auto* music = fake.audio.opened[folder + kMusicPath];
  EXPECT_FLOAT_EQ(music->volume(), 0.3f);
  EXPECT_FALSE(music->isPlaying());
  // An import that turns sound on again shows it on.
  ui.audio.enableAudio = true;
  refreshUiAfterImport(ui, fake.graphics, fake.window);
  EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, folder + "/data/images/sound.png");
  EXPECT_TRUE(music->isPlaying());
}

}  // namespace
}  // namespace kv::ui
