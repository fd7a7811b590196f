#include "demo_art.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "base/launcher_files.h"
#include "wav_file.h"

namespace kv::art {
namespace {

bool makeFolder(const std::string& path, std::string& error) {
  std::string part;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      part = path.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + part;
        return false;
      }
    }
  }
  return true;
}

bool copyFile(const std::string& from, const std::string& to, std::string& error) {
  std::ifstream in(from, std::ios::binary);
  if (!in) {
    error = "cannot read " + from;
    return false;
  }
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.flush();
  if (!out) {
    error = "cannot write " + to;
    return false;
  }
  return true;
}

}  // namespace

bool writeDemoArt(const std::string& serverFolder, ArtLabel label, std::string& error) {
  if (!makeFolder(serverFolder + "/data/fonts", error) ||
      !makeFolder(serverFolder + "/data/sounds", error)) {
    return false;
  }
  if (!writePictures(serverFolder, label, error)) return false;
  if (!copyFile(kSourceFont, serverFolder + kFontPath, error)) return false;
  if (!tools::writeToneWav(serverFolder + kClickPath, kSampleRate, 1500.0, 0.06, 0.6, true, error)) return false;
  // The music: a steady tone, so its loudness is easy to measure.
  const std::string wav = serverFolder + "/data/sounds/music_source.wav";
  const double frequency = label == ArtLabel::EU ? kMusicFrequency : kMusicFrequency * 1.5;
  if (!tools::writeToneWav(wav, kSampleRate, frequency, kMusicSeconds, kMusicAmplitude, false, error)) return false;
  const bool encoded = encodeMp3(wav, serverFolder + kMusicPath, error);
  std::remove(wav.c_str());
  return encoded;
}

}  // namespace kv::art
