#pragma once

// Helpers shared by the interface's unit tests: a server folder holding
// (empty) resource files and a settings store in a temporary folder.

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

// A settings store whose files live in dir.
inline settings::SettingsLocations locationsIn(const kv::test::TempDir& dir, int* server) {
  return {dir.path(), dir / "home", [server] { return std::string(*server == 1 ? "eu" : "us"); }};
}

}  // namespace kv::ui::testing
