// A configuration import run without a window, for the crash sweeps:
//   kv_import_helper WORKING_FOLDER HOME ARCHIVE
// imports ARCHIVE into the configuration in force for server "eu" (the
// server's own folder when WORKING_FOLDER/eu/config/config.kvml exists,
// else the shared one under HOME), replacing it. Exits 0 when the import
// reported success, 1 otherwise, 2 on misuse.
#include <cstdio>
#include <string>

#include "platform/fake/fake_platform.h"
#include "settings/config_import.h"
#include "settings/config_texts.h"
#include "settings/settings_store.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kv_import_helper WORKING_FOLDER HOME ARCHIVE\n");
    return 2;
  }
  kv::settings::SettingsLocations locations;
  locations.executableDirectory = argv[1];
  locations.profileFolder = argv[2];
  locations.currentServerFolder = [] { return std::string("eu"); };
  kv::settings::SettingsStore store(locations);
  kv::platform::fake::FakeDialogs dialogs;
  dialogs.queueOpenPath(std::string(argv[3]));
  dialogs.queueAnswer(kv::platform::MessageAnswer::Yes);  // replace the configuration in force
  dialogs.queueAnswer(kv::platform::MessageAnswer::No);   // keep the working folder's minimap
  dialogs.queueAnswer(kv::platform::MessageAnswer::Ok);
  dialogs.queueAnswer(kv::platform::MessageAnswer::Ok);
  kv::settings::ConfigActionContext context{store, dialogs};
  context.currentServer = [] { return 1; };
  context.workingFolder = argv[1];
  kv::settings::importConfiguration(context);
  bool success = false;
  for (const auto& box : dialogs.boxes()) {
    std::printf("%s: %s\n", box.title.c_str(), box.text.c_str());
    if (box.text == kv::settings::kImportDoneText) success = true;
  }
  return success ? 0 : 1;
}
