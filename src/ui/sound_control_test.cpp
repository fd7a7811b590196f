#include "ui/sound_control.h"

#include <gtest/gtest.h>

#include "support/ui_test_helpers.h"
#include "ui/ui_resources.h"

namespace kv::ui {
namespace {

using platform::fake::FakePlatform;
using platform::fake::FakeSound;

class SoundTest : public ::testing::Test {
 protected:
  void open(bool device = true) {
    testing::writeServerArt(folder);
    fake.audio.deviceAvailable = device;
    (void)fake.audio.openDevice();
    ui.resourceFolder = folder;
    openSounds(ui, fake.audio, folder);
    music = device ? fake.audio.opened[folder + kMusicPath] : nullptr;
    click = device ? fake.audio.opened[folder + kClickPath] : nullptr;
  }
  std::string stored(const std::string& key) {
    const auto& e = store.table(settings::SettingsFile::Config).entries;
    const auto it = e.find(key);
    return it == e.end() ? "<absent>" : it->second;
  }
  kv::test::TempDir dir;
  std::string folder = dir / "eu";
  int server = 1;
  settings::SettingsStore store{testing::locationsIn(dir, &server)};
  FakePlatform fake;
  UiState ui;
  FakeSound* music = nullptr;
  FakeSound* click = nullptr;
};

TEST_F(SoundTest, DefaultsLoopMusicAtFullVolume) {
  open();
  ASSERT_NE(music, nullptr);
  ASSERT_NE(click, nullptr);
  EXPECT_TRUE(music->repeat());
  EXPECT_TRUE(music->isPlaying());
  EXPECT_FLOAT_EQ(music->volume(), 1.0f);
  EXPECT_FLOAT_EQ(click->volume(), 1.0f);
  EXPECT_FALSE(click->repeat());
  EXPECT_EQ(click->playCount(), 0);
  playClickSound(ui);
  EXPECT_EQ(click->playCount(), 1);
}

TEST_F(SoundTest, VolumesAreFractionsAndNotClamped) {
  ui.audio.musicSoundVolume = 250;
  ui.audio.uiSoundVolume = -5;
  open();
  EXPECT_FLOAT_EQ(music->volume(), 2.5f);
  EXPECT_FLOAT_EQ(click->volume(), -0.05f);
  setMusicVolume(ui, store, 50);
  setClickVolume(ui, store, 0);
  EXPECT_FLOAT_EQ(music->volume(), 0.5f);
  EXPECT_FLOAT_EQ(click->volume(), 0.0f);
  EXPECT_EQ(ui.audio.musicSoundVolume, 50);
  EXPECT_EQ(stored("musicSoundVolume"), "50");
  EXPECT_EQ(stored("uiSoundVolume"), "0");
}

TEST_F(SoundTest, MasterOffAtStartPlaysNothing) {
  ui.audio.enableAudio = false;
  open();
  EXPECT_FALSE(music->isPlaying());
  EXPECT_EQ(music->playCount(), 0);
  playClickSound(ui);
  EXPECT_EQ(click->playCount(), 0);
}

TEST_F(SoundTest, MasterOffThenMusicOffAndOnStartsMusic) {
  open();
  toggleMasterSound(ui, store, fake.graphics, nullptr);
  EXPECT_FALSE(ui.audio.enableAudio);
  EXPECT_FALSE(music->isPlaying());
  EXPECT_EQ(stored("enableAudio"), "false");
  toggleMusic(ui, store);
  EXPECT_FALSE(music->isPlaying());
  EXPECT_EQ(stored("enableMusicSound"), "false");
  toggleMusic(ui, store);
  EXPECT_TRUE(music->isPlaying());
  EXPECT_EQ(stored("enableMusicSound"), "true");
  // Clicks stay silent: the master switch is still off.
  playClickSound(ui);
  EXPECT_EQ(click->playCount(), 0);
}

TEST_F(SoundTest, MasterOnWhileMusicOffStaysSilentButClicks) {
  ui.audio.enableAudio = false;
  ui.audio.enableMusicSound = false;
  open();
  fake.window.clearInvalidations();
  toggleMasterSound(ui, store, fake.graphics, &fake.window);
  EXPECT_TRUE(ui.audio.enableAudio);
  EXPECT_FALSE(music->isPlaying());
  EXPECT_EQ(fake.window.fullInvalidations(), 1);
  EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, folder + "/data/images/sound.png");
  playClickSound(ui);
  EXPECT_EQ(click->playCount(), 1);
}

TEST_F(SoundTest, MasterToggleSwapsSoundPicture) {
  open();
  toggleMasterSound(ui, store, fake.graphics, nullptr);
  EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, folder + "/data/images/sound_off.png");
  EXPECT_EQ(fake.window.fullInvalidations(), 0);  // the checkbox path repaints through its caller
  toggleMasterSound(ui, store, fake.graphics, nullptr);
  EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, folder + "/data/images/sound.png");
  EXPECT_TRUE(music->isPlaying());
}

TEST_F(SoundTest, ClickSwitchOffSilencesClicksOnly) {
  open();
  toggleClickSound(ui, store);
  EXPECT_EQ(stored("enableUISound"), "false");
  playClickSound(ui);
  EXPECT_EQ(click->playCount(), 0);
  EXPECT_TRUE(music->isPlaying());
  EXPECT_EQ(click->stopCount(), 0);
}

TEST_F(SoundTest, NoDeviceStillStoresEverySetting) {
  open(false);
  EXPECT_FALSE(ui.music);
  EXPECT_FALSE(ui.click);
  toggleMasterSound(ui, store, fake.graphics, nullptr);
  toggleMusic(ui, store);
  toggleClickSound(ui, store);
  setMusicVolume(ui, store, 7);
  setClickVolume(ui, store, 8);
  playClickSound(ui);
  reapplySoundSettings(ui);
  EXPECT_EQ(stored("enableAudio"), "false");
  EXPECT_EQ(stored("enableMusicSound"), "false");
  EXPECT_EQ(stored("enableUISound"), "false");
  EXPECT_EQ(stored("musicSoundVolume"), "7");
  EXPECT_EQ(stored("uiSoundVolume"), "8");
}

TEST_F(SoundTest, MissingClickFileIsQuietlyAbsent) {
  testing::writeServerArt(folder, {kClickPath});
  (void)fake.audio.openDevice();
  openSounds(ui, fake.audio, folder);
  EXPECT_TRUE(ui.music);
  EXPECT_FALSE(ui.click);
  playClickSound(ui);
}

TEST_F(SoundTest, ReleaseStopsAndReopenStartsFromNewObject) {
  open();
  releaseSounds(ui);
  EXPECT_FALSE(ui.music);
  EXPECT_FALSE(ui.click);
  openSounds(ui, fake.audio, folder);
  FakeSound* again = fake.audio.opened[folder + kMusicPath];
  EXPECT_EQ(again->playCount(), 1);
  EXPECT_TRUE(again->isPlaying());
}

}  // namespace
}  // namespace kv::ui
