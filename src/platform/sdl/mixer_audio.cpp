// Audio output of the Linux backend: SDL2_mixer. The music is streamed from
// its file by the mixer's music channel; effects are decoded in full into
// chunks and played on free mixing channels.
#include <SDL.h>
#include <SDL_mixer.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/file_system.h"
#include "platform/sdl/mixer_audio.h"

namespace kv::platform::sdl {
namespace {

constexpr int kFrequency = 44100;
constexpr int kChannels = 2;
constexpr int kChunkSize = 2048;
constexpr int kMixingChannels = 8;

// A volume fraction as the mixer's 0..MIX_MAX_VOLUME; out-of-range fractions
// are clamped (a negative value would make the mixer only report the volume).
int mixerVolume(float fraction) {
  if (!(fraction > 0.0f)) return 0;
  const float scaled = std::round(fraction * static_cast<float>(MIX_MAX_VOLUME));
  return static_cast<int>(std::min(scaled, static_cast<float>(MIX_MAX_VOLUME)));
}

}  // namespace

// The open device. Sounds keep it alive, so it closes only after the last
// sound is gone.
struct MixerDevice {
  MixerDevice() = default;
  MixerDevice(const MixerDevice&) = delete;
  MixerDevice& operator=(const MixerDevice&) = delete;
  ~MixerDevice() {
    Mix_HaltMusic();
    Mix_HaltChannel(-1);
    Mix_CloseAudio();
    Mix_Quit();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  // The music object that last started the music channel.
  const void* musicOwner = nullptr;
};

struct MixerAudio::State {
  std::shared_ptr<MixerDevice> device;
};

namespace {

// The bytes of a whole file, held while the decoder reads them.
struct FileBytes {
  std::string data;
};

// Music streamed by the mixer's single music channel: decoded while it
// plays, from the file's bytes held in memory. The file itself is not kept
// open, so the updater can replace it while it plays (Windows refuses to
// delete or rename a file that is open).
class MixerMusic : public Sound {
 public:
  MixerMusic(std::shared_ptr<MixerDevice> device, Mix_Music* music, std::unique_ptr<FileBytes> bytes)
      : device_(std::move(device)), bytes_(std::move(bytes)), music_(music) {}
  ~MixerMusic() override {
    if (device_->musicOwner == this) {
      Mix_HaltMusic();
      device_->musicOwner = nullptr;
    }
    Mix_FreeMusic(music_);
  }
  MixerMusic(const MixerMusic&) = delete;
  MixerMusic& operator=(const MixerMusic&) = delete;

  void play() override {
    Mix_VolumeMusic(volume_);
    if (device_->musicOwner == this && Mix_PlayingMusic() != 0) {
      if (Mix_PausedMusic() != 0) Mix_ResumeMusic();
      return;
    }
    // Not started yet, ended, or another music took the channel: from the
    // beginning.
    if (Mix_PlayMusic(music_, repeat_ ? -1 : 1) == 0) {
      device_->musicOwner = this;
      Mix_VolumeMusic(volume_);
    }
  }

  void stop() override {
    if (device_->musicOwner == this && Mix_PlayingMusic() != 0) Mix_PauseMusic();
  }

  void setRepeat(bool repeat) override { repeat_ = repeat; }

  void setVolume(float volume) override {
    volume_ = mixerVolume(volume);
    if (device_->musicOwner == this) Mix_VolumeMusic(volume_);
  }

  bool isPlaying() const override {
    return device_->musicOwner == this && Mix_PlayingMusic() != 0 && Mix_PausedMusic() == 0;
  }

 private:
  std::shared_ptr<MixerDevice> device_;
  std::unique_ptr<FileBytes> bytes_;  // read by the decoder until the music is freed
  Mix_Music* music_;
  bool repeat_ = false;
  int volume_ = MIX_MAX_VOLUME;
};

// A fully decoded effect played on a free mixing channel.
class MixerEffect : public Sound {
 public:
  MixerEffect(std::shared_ptr<MixerDevice> device, Mix_Chunk* chunk)
      : device_(std::move(device)), chunk_(chunk) {}
  ~MixerEffect() override {
    haltOwnChannel();
    Mix_FreeChunk(chunk_);
  }
  MixerEffect(const MixerEffect&) = delete;
  MixerEffect& operator=(const MixerEffect&) = delete;

  void play() override {
    if (ownsChannel() && Mix_Paused(channel_) != 0) {
      Mix_Resume(channel_);
      return;
    }
    channel_ = Mix_PlayChannel(-1, chunk_, repeat_ ? -1 : 0);
  }

  void stop() override {
    if (ownsChannel()) Mix_Pause(channel_);
  }

  void setRepeat(bool repeat) override { repeat_ = repeat; }

  void setVolume(float volume) override { Mix_VolumeChunk(chunk_, mixerVolume(volume)); }

  bool isPlaying() const override { return ownsChannel() && Mix_Paused(channel_) == 0; }

 private:
  bool ownsChannel() const {
    return channel_ >= 0 && Mix_Playing(channel_) != 0 && Mix_GetChunk(channel_) == chunk_;
  }
  void haltOwnChannel() {
    if (channel_ >= 0 && Mix_GetChunk(channel_) == chunk_) Mix_HaltChannel(channel_);
  }

  std::shared_ptr<MixerDevice> device_;
  Mix_Chunk* chunk_;
  bool repeat_ = false;
  int channel_ = -1;
};

}  // namespace

MixerAudio::MixerAudio() : state_(std::make_unique<State>()) {}
MixerAudio::~MixerAudio() = default;

bool MixerAudio::openDevice() {
  if (state_->device) return true;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
  Mix_Init(MIX_INIT_MP3);
  if (Mix_OpenAudio(kFrequency, MIX_DEFAULT_FORMAT, kChannels, kChunkSize) != 0) {
    Mix_Quit();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return false;
  }
  Mix_AllocateChannels(kMixingChannels);
  state_->device = std::make_shared<MixerDevice>();
  return true;
}

bool MixerAudio::hasDevice() const { return state_->device != nullptr; }

std::unique_ptr<Sound> MixerAudio::openSound(const std::string& path, SoundMode mode) {
  if (!state_->device) return nullptr;
  if (mode == SoundMode::Streamed) {
    // The size is checked before the file is read: a huge file costs nothing.
    std::optional<std::string> content = readRegularFile(path, kMaxMusicBytes);
    if (!content || content->empty()) return nullptr;
    auto bytes = std::make_unique<FileBytes>(FileBytes{std::move(*content)});
    SDL_RWops* source =
        SDL_RWFromConstMem(bytes->data.data(), static_cast<int>(bytes->data.size()));
    if (source == nullptr) return nullptr;
    Mix_Music* music = Mix_LoadMUS_RW(source, 1);  // frees source, also on failure
    if (music == nullptr) return nullptr;
    return std::make_unique<MixerMusic>(state_->device, music, std::move(bytes));
  }
  Mix_Chunk* chunk = Mix_LoadWAV(path.c_str());
  if (chunk == nullptr) return nullptr;
  return std::make_unique<MixerEffect>(state_->device, chunk);
}

}  // namespace kv::platform::sdl
