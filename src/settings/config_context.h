#pragma once

#include <functional>
#include <string>

#include "platform/dialogs.h"
#include "settings/settings_store.h"

namespace kv::platform {
class Window;
}

namespace kv::settings {

// What the configuration actions (placement toggle, export, import, reset)
// need from the launcher. Bound once by the application; main thread only.
// Callbacks that are empty are skipped.
struct ConfigActionContext {
  SettingsStore& store;
  platform::Dialogs& dialogs;
  // The main window, asked to repaint when an import's extraction fails; may
  // be null.
  platform::Window* window = nullptr;
  // The current server index (1 or 2), stored again under "server" after a
  // placement change or a reset. Read at each action.
  std::function<int()> currentServer;
  // The launcher's working folder, where the temporary folders and the
  // imported "minimap.kvmm" go.
  std::string workingFolder = ".";
  // The local time as "%Y%m%d_%H%M%S" for the export's default name; empty
  // means the clock of the machine.
  std::function<std::string()> timeStamp;

  // Reads the sound keys of the configuration again.
  std::function<void()> loadServerSettings;
  // Releases and creates the interface resources of the main window.
  std::function<void()> recreateUiResources;
  // Re-applies the sound button's picture and sound settings and repaints.
  std::function<void()> refreshUiAfterImport;
  // Sets the local-configuration checkbox and the configuration-folder line
  // of the System tab from the placement now in force.
  std::function<void()> refreshConfigPathLine;
};

// Shows a box with one OK button; the answer carries nothing. Main thread.
inline void tell(ConfigActionContext& context, platform::MessageOwner owner,
                 const std::string& text, const char* title, platform::MessageIcon icon) {
  (void)context.dialogs.messageBox(owner, text, title, platform::MessageButtons::Ok, icon);
}

}  // namespace kv::settings
