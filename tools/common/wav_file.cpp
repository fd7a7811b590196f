#include "wav_file.h"

#include <cmath>
#include <cstdint>
#include <fstream>

namespace kv::tools {
namespace {

void put32(std::ofstream& out, std::uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  out.write(reinterpret_cast<const char*>(b), 4);
}

void put16(std::ofstream& out, std::uint16_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  out.write(reinterpret_cast<const char*>(b), 2);
}

}  // namespace

bool writeToneWav(const std::string& path, int sampleRate, double frequency, double seconds, double amplitude,
                  bool decay, std::string& error) {
  const auto rate = static_cast<std::uint32_t>(sampleRate);
  const auto frames = static_cast<std::uint32_t>(sampleRate * seconds);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  out.write("RIFF", 4);
  put32(out, 36 + frames * 2);
  out.write("WAVEfmt ", 8);
  put32(out, 16);
  put16(out, 1);  // PCM
  put16(out, 1);  // mono
  put32(out, rate);
  put32(out, rate * 2);
  put16(out, 2);
  put16(out, 16);
  out.write("data", 4);
  put32(out, frames * 2);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / sampleRate;
    const double envelope = decay ? 1.0 - static_cast<double>(i) / frames : 1.0;
    const double v = amplitude * envelope * std::sin(2 * M_PI * frequency * t);
    put16(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767))));
  }
  out.flush();
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace kv::tools
