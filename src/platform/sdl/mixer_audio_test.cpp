#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/sdl/mixer_audio.h"
#include "support/temp_dir.h"
#include "wav_file.h"

namespace kv::platform::sdl {
namespace {

// A mono 16-bit PCM WAV file with a sine tone.
void writeTone(const std::string& path, double seconds) {
  std::string error;
  ASSERT_TRUE(tools::writeToneWav(path, 22050, 440.0, seconds, 0.25, false, error)) << error;
}

TEST(MixerAudio, WithoutDeviceNothingOpens) {
  ::setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  kv::test::TempDir dir;
  writeTone(dir / "tone.wav", 0.2);
  MixerAudio audio;
  EXPECT_FALSE(audio.openDevice());
  EXPECT_FALSE(audio.hasDevice());
  EXPECT_EQ(audio.openSound(dir / "tone.wav", SoundMode::Loaded), nullptr);
  EXPECT_EQ(audio.openSound(dir / "tone.wav", SoundMode::Streamed), nullptr);
}

class MixerDummyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    writeTone(dir / "tone.wav", 5.0);
    ASSERT_TRUE(audio.openDevice());
  }
  kv::test::TempDir dir;
  MixerAudio audio;
};

TEST_F(MixerDummyTest, MissingOrBrokenFilesGiveNoSound) {
  kv::test::writeFile(dir / "junk.mp3", "definitely not audio");
  EXPECT_EQ(audio.openSound(dir / "missing.mp3", SoundMode::Streamed), nullptr);
  EXPECT_EQ(audio.openSound(dir / "missing.wav", SoundMode::Loaded), nullptr);
  EXPECT_EQ(audio.openSound(dir / "junk.mp3", SoundMode::Loaded), nullptr);
}

TEST_F(MixerDummyTest, MusicStopKeepsPositionAndNewObjectTakesOver) {
  auto music = audio.openSound(dir / "tone.wav", SoundMode::Streamed);
  ASSERT_NE(music, nullptr);
  music->setRepeat(true);
  music->setVolume(0.5f);
  EXPECT_FALSE(music->isPlaying());
  music->play();
  EXPECT_TRUE(music->isPlaying());
  music->stop();
  EXPECT_FALSE(music->isPlaying());
  music->play();  // resumes
  EXPECT_TRUE(music->isPlaying());
  auto second = audio.openSound(dir / "tone.wav", SoundMode::Streamed);
  ASSERT_NE(second, nullptr);
  second->play();
  EXPECT_TRUE(second->isPlaying());
  EXPECT_FALSE(music->isPlaying());
  music.reset();  // dropping the old object leaves the new one playing
  EXPECT_TRUE(second->isPlaying());
  second->setVolume(-1.0f);
  second->setVolume(3.0f);
  EXPECT_TRUE(second->isPlaying());
}

// Whether this process holds a descriptor open on path.
bool processHoldsOpen(const std::string& path) {
  const std::string target = std::filesystem::canonical(path).string();
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).string() == target) return true;
  }
  return false;
}

TEST_F(MixerDummyTest, PlayingMusicDoesNotHoldItsFileOpen) {
  // The updater must be able to replace the file while it plays; on Windows
  // an open file cannot be deleted or renamed.
  auto music = audio.openSound(dir / "tone.wav", SoundMode::Streamed);
  ASSERT_NE(music, nullptr);
  music->play();
  EXPECT_FALSE(processHoldsOpen(dir / "tone.wav"));
  kv::test::writeFile(dir / "tone.wav", "replaced");
  EXPECT_TRUE(music->isPlaying());
}

// The music file comes from the server. A file above the size limit, or one
// that is not a regular file, gives no music and is never read: the files
// here are sparse, and the FIFO has no writer, so reading would block.
TEST_F(MixerDummyTest, MusicFileIsCheckedBeforeItIsRead) {
  ASSERT_EQ(::mkfifo((dir / "fifo.mp3").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder.mp3");
  const struct {
    const char* name;
    std::uint64_t growTo;  // 0: leave the file as it is
    bool opens;
  } cases[] = {
      {"at_limit.wav", MixerAudio::kMaxMusicBytes, true},
      {"over_limit.wav", MixerAudio::kMaxMusicBytes + 1, false},
      {"fifo.mp3", 0, false},
      {"folder.mp3", 0, false},
  };
  for (const auto& c : cases) {
    const std::string path = dir / c.name;
    if (c.growTo != 0) {
      // A valid tone followed by silence the decoder never reaches.
      writeTone(path, 0.5);
      std::filesystem::resize_file(path, c.growTo);
    }
    auto music = audio.openSound(path, SoundMode::Streamed);
    EXPECT_EQ(music != nullptr, c.opens) << c.name;
  }
}

TEST_F(MixerDummyTest, EffectPlaysStopsAndOutlivesNothing) {
  auto click = audio.openSound(dir / "tone.wav", SoundMode::Loaded);
  ASSERT_NE(click, nullptr);
  click->setVolume(1.0f);
  click->play();
  EXPECT_TRUE(click->isPlaying());
  click->stop();
  EXPECT_FALSE(click->isPlaying());
  click->play();
  EXPECT_TRUE(click->isPlaying());
}

TEST(MixerAudioLifetime, SoundsMayOutliveTheAudioObject) {
  ::setenv("SDL_AUDIODRIVER", "dummy", 1);
  kv::test::TempDir dir;
  writeTone(dir / "tone.wav", 1.0);
  std::unique_ptr<Sound> music;
  {
    MixerAudio audio;
    ASSERT_TRUE(audio.openDevice());
    music = audio.openSound(dir / "tone.wav", SoundMode::Streamed);
    ASSERT_NE(music, nullptr);
    music->play();
  }
  EXPECT_TRUE(music->isPlaying());
  music.reset();
}

}  // namespace
}  // namespace kv::platform::sdl
