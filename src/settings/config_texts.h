#pragma once

#include <cstdint>

#include "base/launcher_files.h"

namespace kv::settings {

// The names on disk of the configuration actions are those of
// base/launcher_files.h.

// Dialog filters.
inline constexpr const char* kExportFileType = "ZIP File";
inline constexpr const char* kImportFileType = "Zip Files (*.zip)";
inline constexpr const char* kImportDialogTitle = "Select config zip";
inline constexpr const char* kExportDialogTitle = "Export config zip";
inline constexpr const char* kZipPattern = "*.zip";

// Texts and titles of the configuration actions' message boxes.
inline constexpr const char* kTitleSuccess = "Success";
inline constexpr const char* kTitleExportError = "Export Error";
inline constexpr const char* kTitleImportError = "Import Error";

inline constexpr const char* kIncludeLoginText =
    "Do you want to include login data (account/password) in the export?";
inline constexpr const char* kIncludeLoginTitle = "Include Login Data";
inline constexpr const char* kExportTempFailedText = "Failed to create temporary folder for export.";
inline constexpr const char* kExportCopyFailedText = "Failed to copy config folder.\nReason: ";
inline constexpr const char* kExportConfigFailedText = "Failed to export config file.";
inline constexpr const char* kExportZipFailedText = "Failed to create ZIP file.";
inline constexpr const char* kExportDoneText = "Configuration exported successfully.";

inline constexpr const char* kImportTempFailedText = "Failed to create temporary folder for import.";
inline constexpr const char* kImportCharactersFailedText =
    "Failed to create 'characters' folder inside temporary folder.";
inline constexpr const char* kImportExtractFailedText = "Failed to extract ZIP file.";
inline constexpr const char* kImportModeText =
    "Do you want to replace your current configuration? If not, the merging process will occur.";
inline constexpr const char* kImportModeTitle = "Import Config";
inline constexpr const char* kMergeOverrideText =
    "Should the imported config override existing one in case of conflict?";
inline constexpr const char* kMergeOverrideTitle = "Merge Config";
inline constexpr const char* kMinimapText =
    "The imported configuration includes minimap.kvmm.\nDo you want to replace your minimap with "
    "the imported one?";
inline constexpr const char* kMinimapTitle = "Replace Minimap?";
inline constexpr const char* kImportDoneText = "Configuration imported successfully.";
// A replacing import that could not build or swap in the new folder; the
// system's reason follows.
inline constexpr const char* kImportReplaceFailedText =
    "Failed to replace the configuration. Your previous configuration was kept.\nReason: ";

inline constexpr const char* kResetConfirmText =
    "Are you sure you want to delete your configuration?\nThis action cannot be undone.";
inline constexpr const char* kResetConfirmTitle = "Confirm Deletion";
inline constexpr const char* kResetDoneText = "Configuration reset successfully.";
// A configuration folder that leads to the profile folder or above it (a
// symbolic link) is never emptied; the folder follows.
inline constexpr const char* kTitleResetError = "Reset Error";
inline constexpr const char* kResetRefusedText =
    "Failed to reset the configuration. Nothing was deleted.\nReason: the configuration folder leads to "
    "your profile folder or a folder above it: ";

// An archive to import is refused before extraction above this file size,
// and its extracted content above these totals: a configuration is small,
// and a bomb must not reach the configuration folder.
inline constexpr std::uint64_t kImportMaxArchiveBytes = 64ull * 1024 * 1024;
inline constexpr std::uint64_t kImportMaxExtractedBytes = 64ull * 1024 * 1024;
inline constexpr std::uint64_t kImportMaxEntries = 10000;

}  // namespace kv::settings
