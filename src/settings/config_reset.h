#pragma once

#include "settings/config_context.h"

namespace kv::settings {

// The Delete button: after a confirmation, deletes everything inside the
// configuration folder in force (never the folder itself, never anything a
// symbolic link inside it points to), writes the default "config.kvml",
// tells the player, and reloads the configuration, the sound settings and
// the interface resources. Answering anything but Yes changes nothing.
// Message boxes have no owner. Main thread.
void resetConfiguration(ConfigActionContext& context);

}  // namespace kv::settings
