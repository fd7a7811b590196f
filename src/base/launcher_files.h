#pragma once

#include <array>
#include <string_view>

namespace kv {

// Every name the launcher gives to or expects of a file or folder on disk,
// for every subsystem and tool. Texts shown to the player and the names of
// requests to the web site live with their subsystems. The names are plain
// character arrays: they join std::string with "+" and become a
// std::string_view where one is wanted.

// --- In a server folder ("eu", "us") ---

// The local manifest and the Last-Modified record of the last whole update.
inline constexpr char kLocalManifestName[] = "manifest.json";
inline constexpr char kManifestMetaName[] = "manifest.meta";
// What happened to installed files since the local manifest was last
// written: appended before a file is replaced and once it is in place.
inline constexpr char kManifestJournalName[] = "update.journal";
// The files that archives unpacked, with their sizes and CRC-32s.
inline constexpr char kUnpackedRecordName[] = "unpacked.json";
// The highest signed release the launcher accepted for the server and when
// it expires (only where the installation has release keys).
inline constexpr char kReleaseStateName[] = "release.state";
// Held (as an advisory lock) by whoever updates the server folder.
inline constexpr char kUpdateLockName[] = "update.lock";
// The game client's configuration folder, and its backup when the launcher
// keeps one configuration for each server.
inline constexpr char kConfigFolderName[] = "config";
inline constexpr char kConfigBackupFolderName[] = "config_backup";
// The archive with other copies of the client's graphics libraries: never
// unpacked on arrival. Every other ".zip" of a manifest is unpacked in place.
inline constexpr char kOldLibsArchive[] = "oldlibs.zip";
inline constexpr char kArchiveExtension[] = ".zip";
// Ends the name of the temporary a file is downloaded into, beside its final
// place; no manifest path may take a name of that form.
inline constexpr char kDownloadTemporarySuffix[] = ".kvpart";
// Ends the name of the record beside a download temporary that tells which
// entry and which answer its bytes come from: the temporary's name and this.
inline constexpr char kDownloadRecordSuffix[] = ".info";
// The folder of chunk indexes: on the site, the heads and fine files of the
// large files' indexes; in a server folder, the heads of installed files.
// No manifest path may lie in it.
inline constexpr char kIndexFolderName[] = "kvindex";
// End the names of an index's head and of its fine file.
inline constexpr char kIndexHeadExtension[] = ".kvi";
inline constexpr char kIndexFineExtension[] = ".kvf";

// The four builds of the game client, in the order renderer (DirectX,
// OpenGL) within processor (64-bit, 32-bit). A build's executable is its
// name + kExecutableSuffix, its archive its name + kArchiveExtension.
inline constexpr std::array<const char*, 4> kClientBuildNames = {
    "vdclient_dx_x64", "vdclient_gl_x64", "vdclient_dx_x86", "vdclient_gl_x86"};
inline constexpr char kExecutableSuffix[] = ".exe";
// The client's two graphics libraries.
inline constexpr char kEglLibraryFile[] = "libEGL.dll";
inline constexpr char kGlesLibraryFile[] = "libGLESv2.dll";

// The folders that hold the window's own pictures, font and sounds, and
// each of those files, appended to the server folder (they begin with "/").
// The art's paths are pointers, as the tables of the window hold them.
inline constexpr std::string_view kInterfaceArtFolders[] = {"data/images/", "data/fonts/", "data/sounds/"};
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

// --- In the working folder ---

// The copy of the quick-form manifest last seen, and the download log.
inline constexpr char kQuickReferencePath[] = "data/manifest.json";
inline constexpr char kDownloadLogName[] = "curl_download.log";
// The player's minimap, which an import may replace.
inline constexpr char kMinimapFileName[] = "minimap.kvmm";
// Stems of the numbered temporary folders of an export and an import.
inline constexpr char kExportTempStem[] = "config_export_tmp";
inline constexpr char kImportTempStem[] = "config_import_tmp";

// The public keys whose signatures the launcher trusts for releases, one a
// line (installed with the launcher; without it updates are not checked),
// and the keys rotations replaced them with, as the launcher last followed.
inline constexpr char kReleaseKeysName[] = "release_keys";
inline constexpr char kReleaseKeysStateName[] = "release_keys.state";

// --- In a configuration folder ---

inline constexpr char kConfigFileName[] = "config.kvml";
inline constexpr char kCharactersFolderName[] = "characters";
// Siblings of the configuration folder while a replacing import swaps it.
inline constexpr char kReplaceStagingSuffix[] = ".importing";
inline constexpr char kReplacedOldSuffix[] = ".replaced";

// --- Elsewhere ---

// The launcher's own settings, next to its executable.
inline constexpr char kSystemFileName[] = "system.kvml";
// The configuration folder all servers share, in the player's documents.
inline constexpr char kSharedFolderName[] = "vandrel";
// The interface art installed with the launcher, in a folder of this name
// next to its executable, laid out like a server folder ("<folder>/data/...").
// It stands in for every art file a server folder does not have yet.
inline constexpr char kDefaultArtFolder[] = "default_art";

}  // namespace kv
