#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio.h"

namespace kv::platform::sdl {

// SDL2_mixer audio, the same on every system the launcher is built for: the
// Linux and the Windows backend both own one.
class MixerAudio : public Audio {
 public:
  MixerAudio();
  ~MixerAudio() override;
  bool openDevice() override;
  bool hasDevice() const override;
  std::unique_ptr<Sound> openSound(const std::string& path, SoundMode mode) override;

  // Streamed music is decoded from the file's bytes in memory; a larger
  // file (far beyond any background loop) is refused without being read.
  static constexpr std::uint64_t kMaxMusicBytes = std::uint64_t{64} << 20;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace kv::platform::sdl
