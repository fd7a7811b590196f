#pragma once

#include <string>

#include "settings/config_context.h"

namespace kv::settings {

// Replaces the configuration folder with a copy of the content of source:
// the copy is built in a new folder beside it and swapped in by renames
// only once it is complete; the previous folder is then removed. On false
// the previous folder is unchanged and reason holds the system's
// description of what failed. Main thread.
[[nodiscard]] bool replaceConfigFolder(const std::string& configFolder, const std::string& source,
                                       std::string& reason);

// The Import button: asks for an archive, extracts it into a numbered
// temporary folder of the working folder, asks whether to replace the
// configuration in force or merge into it (and whether imported files win),
// copies the files, offers to replace the working folder's "minimap.kvmm",
// removes the temporary folder, reloads the configuration and refreshes the
// sound settings and the interface. Message boxes have no owner. A replace
// that fails keeps the previous configuration and says so. Main thread.
void importConfiguration(ConfigActionContext& context);

}  // namespace kv::settings
