#pragma once

#include <string>

#include "settings/config_context.h"

namespace kv::settings {

// "config_" + serverFolder + "_" + timeStamp + ".zip", the name the save
// dialog proposes.
std::string defaultExportName(const std::string& serverFolder, const std::string& timeStamp);

// The machine's local time as "%Y%m%d_%H%M%S".
std::string localTimeStamp();

// The Export button: saves pending configuration changes, asks for the
// archive's place and whether the login goes along, copies the configuration
// folder in force into a numbered temporary folder of the working folder
// (symbolic links are not copied), rewrites its "config.kvml" from memory,
// packs it and removes the temporary folder again. Every outcome is told in
// a message box owned by the main window; a cancelled dialog ends silently.
// Main thread; blocks it while copying and packing.
void exportConfiguration(ConfigActionContext& context);

}  // namespace kv::settings
