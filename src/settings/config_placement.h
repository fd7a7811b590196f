#pragma once

#include <string>

#include "settings/config_context.h"
#include "settings/settings_store.h"

namespace kv::settings {

// The current server's own configuration folder: <executable dir>/<server>/config.
std::string localConfigFolder(const SettingsStore& store);

// Where the current server's own configuration is parked while it uses the
// shared one: <executable dir>/<server>/config_backup.
std::string backupConfigFolder(const SettingsStore& store);

// Whether path names a configuration folder that the reset and the import
// may empty or swap: its last name is "config" or the shared folder's
// name, and it is not the file-system root.
bool isConfigFolderPath(const std::string& path);

// Whether the folder at path, with every symbolic link on the way resolved,
// is the file-system root, the profile folder or a folder above it, so that
// emptying it would empty the profile too. False when path leads nowhere
// (there is nothing to empty then). An empty profileFolder checks the root
// only.
bool leadsToProfileOrAbove(const std::string& path, const std::string& profileFolder);

// Moves the current server between its own configuration and the shared
// one by renaming "config" and "config_backup" (a fresh "config.kvml" with
// the default content when there is nothing to bring back), reloads the
// configuration without emptying the table, stores the server index and
// refreshes the sound settings, the interface resources and the System
// tab's checkbox and folder line. A rename never replaces anything that
// exists; when it fails nothing moves. Shows no message. Main thread.
void toggleLocalConfig(ConfigActionContext& context);

// The configuration folder in force as text for the System tab's folder
// line, as pathDisplayText gives it.
std::string configFolderDisplayText(SettingsStore& store);

// text with every invalid UTF-8 byte replaced by U+FFFD.
std::string toDisplayUtf8(const std::string& text);

// A path as the window shows it: with the system's own separators
// (backslashes on Windows) and valid UTF-8, every byte that is not part of
// a valid UTF-8 sequence replaced by U+FFFD.
std::string pathDisplayText(const std::string& path);

}  // namespace kv::settings
