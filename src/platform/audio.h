#pragma once

#include <memory>
#include <string>

namespace kv::platform {

// One playable sound: streamed music or a fully loaded effect.
class Sound {
 public:
  virtual ~Sound() = default;
  // Starts playing from the current position; an ended sound starts again
  // from its beginning.
  virtual void play() = 0;
  // Stops playing; the position is kept.
  virtual void stop() = 0;
  virtual void setRepeat(bool repeat) = 0;
  // Volume as a fraction; 1.0 is full volume.
  virtual void setVolume(float volume) = 0;
  virtual bool isPlaying() const = 0;
};

enum class SoundMode { Streamed, Loaded };

// The audio output device. Main thread only.
class Audio {
 public:
  virtual ~Audio() = default;
  // Opens the default output device; answers false when there is none.
  virtual bool openDevice() = 0;
  virtual bool hasDevice() const = 0;
  // Opens a sound file; nothing when the device is closed or the file cannot
  // be read or decoded.
  virtual std::unique_ptr<Sound> openSound(const std::string& path, SoundMode mode) = 0;
};

}  // namespace kv::platform
