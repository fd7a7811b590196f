#pragma once

// Helpers shared by the interface's unit tests: a server folder holding
// (empty) resource files and a settings store in a temporary folder.

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "settings/settings_store.h"
#include "support/temp_dir.h"
#include "ui/ui_names.h"

namespace kv::ui::testing {

// Every resource file of a server folder.
inline std::vector<std::string> allResourcePaths() {
  return {kBackgroundPath,    kFontPath,          kCloseImagePath,   kMinimizeImagePath,
          kOptionsImagePath,  kOptionsOnImagePath, kSoundImagePath,  kSoundOffImagePath,
          kBigButtonImagePath, kButtonImagePath,   kSignUpIconPath,  kWebsiteIconPath,
          kMusicPath,         kClickPath};
}

// Creates folder with every resource file except those listed in missing.
inline void writeServerArt(const std::string& folder, const std::vector<std::string>& missing = {}) {
  for (const std::string& rel : allResourcePaths()) {
    bool skip = false;
    for (const std::string& m : missing) skip = skip || m == rel;
    if (!skip) kv::test::writeFile(folder + rel, "x");
  }
}

// The contrast ratio of two opaque colours as the WCAG defines it: from 1
// (the same) to 21 (black on white).
inline double contrastRatio(platform::Argb a, platform::Argb b) {
  const auto luminance = [](platform::Argb c) {
    const auto channel = [](unsigned v) {
      const double s = v / 255.0;
      return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel((c >> 16) & 0xFF) + 0.7152 * channel((c >> 8) & 0xFF) +
           0.0722 * channel(c & 0xFF);
  };
  const double la = luminance(a);
  const double lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A settings store whose files live in dir.
inline settings::SettingsLocations locationsIn(const kv::test::TempDir& dir, int* server) {
  return {dir.path(), dir / "home", [server] { return std::string(*server == 1 ? "eu" : "us"); }};
}

}  // namespace kv::ui::testing
