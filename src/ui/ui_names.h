#pragma once

namespace kv::ui {

// Resource files of a server, appended to the server's folder ("eu", "us").
inline constexpr const char* kBackgroundPath = "/data/images/updater.png";
inline constexpr const char* kFontPath = "/data/fonts/RavidIzuz.ttf";
inline constexpr const char* kCloseImagePath = "/data/images/close.png";
inline constexpr const char* kMinimizeImagePath = "/data/images/minimize.png";
inline constexpr const char* kOptionsImagePath = "/data/images/options.png";
inline constexpr const char* kOptionsOnImagePath = "/data/images/options_on.png";
inline constexpr const char* kSoundImagePath = "/data/images/sound.png";
inline constexpr const char* kSoundOffImagePath = "/data/images/sound_off.png";
inline constexpr const char* kBigButtonImagePath = "/data/images/big_button.png";
inline constexpr const char* kButtonImagePath = "/data/images/button.png";
inline constexpr const char* kSignUpIconPath = "/data/images/icon_sign_up.png";
inline constexpr const char* kWebsiteIconPath = "/data/images/icon_website.png";
inline constexpr const char* kMusicPath = "/data/sounds/music.mp3";
inline constexpr const char* kClickPath = "/data/sounds/click.wav";

// The interface art installed with the launcher, in a folder of this name
// next to its executable, laid out like a server folder ("<folder>/data/...").
// It stands in for every resource file a server folder does not have yet.
inline constexpr const char* kDefaultArtFolder = "default_art";

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
// before the right-aligned version line begins (about 150 px at 10 pt).
inline constexpr const char* kCreditLine = "Made for Vandrel";
inline constexpr const char* kVersionLine = "KVLauncher Version 0.27";

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
