#pragma once

#include "base/launcher_files.h"
#include "base/launcher_version.h"

namespace kv::ui {

// The art files of a server folder and the installed default art are names
// on disk: see base/launcher_files.h.

// Keys of the sound settings in the game client configuration.
inline constexpr const char* kEnableAudioKey = "enableAudio";
inline constexpr const char* kEnableMusicSoundKey = "enableMusicSound";
inline constexpr const char* kEnableUISoundKey = "enableUISound";
inline constexpr const char* kMusicSoundVolumeKey = "musicSoundVolume";
inline constexpr const char* kUiSoundVolumeKey = "uiSoundVolume";

// The server web pages: "https://" + server folder + "." + site host + page.
inline constexpr const char* kWebScheme = "https://";
inline constexpr const char* kSignUpPage = "/sign_up.php";
inline constexpr const char* kIndexPage = "/index.php";

// Texts of the bottom line. The credit is kept short: centred, it must end
// before the right-aligned version line (kVersionLine of
// base/launcher_version.h) begins (about 150 px at 10 pt).
inline constexpr const char* kCreditLine = "Made for Vandrel";

// Texts of the options panel.
inline constexpr const char* kSystemTitle = "System";
inline constexpr const char* kAudioTitle = "Audio";
inline constexpr const char* kControlSettingsTitle = "Control Settings";
inline constexpr const char* kServerQuestionText = "Game server you are connecting to:";
inline constexpr const char* kLocalConfigLabel = "Use local config for each server";
inline constexpr const char* kLocalConfigNote = "Note: Local config will not be shared across servers.";
inline constexpr const char* kUsLabel = "US";
inline constexpr const char* kEuLabel = "EU";
inline constexpr const char* kExportLabel = "Export";
inline constexpr const char* kImportLabel = "Import";
inline constexpr const char* kDeleteLabel = "Delete";
inline constexpr const char* kEnableUiSoundLabel = "Enable UI sound";
inline constexpr const char* kUiVolumeLabel = "UI volume";
inline constexpr const char* kEnableMusicLabel = "Enable music sound";
inline constexpr const char* kMusicVolumeLabel = "Music volume";
inline constexpr const char* kEnableSoundLabel = "Enable sound";

}  // namespace kv::ui
