#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::art {

// Which server's look to draw; the two differ in the background tint so a
// server switch is visible.
enum class ArtLabel { EU, US };

// The colour of each state frame (Disabled, Normal, Hover, Pressed) of the
// ordinary pictures, and of the two alternative pictures, as 0xRRGGBB. A
// frame is filled with its colour inside a 1-pixel darker border, with a
// symbol in its middle. The Disabled frame is dark enough for the greyed
// white label of a disabled Play (4.5 : 1).
inline constexpr std::uint32_t kStateColours[4] = {0x4A4A4A, 0x2850A0, 0x28A050, 0xAA3232};
inline constexpr std::uint32_t kOptionsOnColours[4] = {0x5A5A5A, 0xD07010, 0xE09030, 0xB05000};
inline constexpr std::uint32_t kSoundOffColours[4] = {0x5A5A5A, 0x702070, 0x903090, 0x501050};

// The frames of "button.png". Its labels are black on the main screen and
// white on the options panel's tabs, so its Normal frame is a grey on which
// both read at better than 4.5 : 1.
inline constexpr std::uint32_t kButtonColours[4] = {0x5A5A5A, 0x767676, 0x8C8C8C, 0x646464};

// The background under the launcher's texts: a light band behind the status
// line (black text) and a black band under the bottom line (grey text), so
// both read at better than 4.5 : 1 whatever the tint above them.
inline constexpr std::uint32_t kStatusBandColour = 0xE6E0D2;
inline constexpr int kStatusBand[4] = {10, 279, 304, 22};  // x, y, width, height
inline constexpr std::uint32_t kBottomBandColour = 0x000000;
inline constexpr int kBottomBandTop = 301;

// The background's tint per server label.
[[nodiscard]] std::uint32_t backgroundColour(ArtLabel label);

// One picture of the widget table: path below the server folder and size.
struct PictureSpec {
  std::string path;  // "/data/images/close.png"
  int frameWidth;
  int height;
  int symbol;  // what is drawn in the middle of each frame
  const std::uint32_t* colours;
};

// Every picture strip the launcher loads, with its frame size.
[[nodiscard]] std::vector<PictureSpec> pictureSpecs();

// Writes every picture, the background, the font, the click and the music
// into serverFolder (creating "data/images", "data/fonts", "data/sounds").
// Answers false with a reason when anything could not be written.
[[nodiscard]] bool writeDemoArt(const std::string& serverFolder, ArtLabel label,
                                std::string& error);

// The pictures alone.
[[nodiscard]] bool writePictures(const std::string& serverFolder, ArtLabel label,
                                 std::string& error);

// Encodes a WAV file to MP3 with the "lame" program. Answers false when lame
// is missing or fails.
[[nodiscard]] bool encodeMp3(const std::string& wavPath, const std::string& mp3Path,
                             std::string& error);

// The sample rate and amplitude of the music loop.
inline constexpr int kSampleRate = 44100;
inline constexpr double kMusicAmplitude = 0.5;
inline constexpr double kMusicFrequency = 440.0;
inline constexpr double kMusicSeconds = 2.0;

// The free font copied as the interface font.
inline constexpr const char* kSourceFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

}  // namespace kv::art
