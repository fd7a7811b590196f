#pragma once

#include <string>

namespace kv::tools {

// Writes a mono 16-bit PCM WAV file of a sine tone at sampleRate: frequency,
// seconds, amplitude 0..1, and a fade to silence over the whole length when
// decay is set. False (error says why) when the file cannot be written.
[[nodiscard]] bool writeToneWav(const std::string& path, int sampleRate, double frequency, double seconds,
                                double amplitude, bool decay, std::string& error);

}  // namespace kv::tools
