#include "settings/config_import.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/zip_archive.h"
#include "base/path_text.h"
#include "platform/file_system.h"
#include "settings/config_archive_limits.h"
#include "settings/config_files.h"
#include "settings/config_placement.h"
#include "settings/config_texts.h"

namespace kv::settings {
namespace {

using platform::MessageAnswer;
using platform::MessageButtons;
using platform::MessageIcon;
using platform::MessageOwner;

MessageAnswer ask(ConfigActionContext& context, const char* text, const char* title,
                  MessageButtons buttons) {
  return context.dialogs.messageBox(MessageOwner::None, text, title, buttons,
                                    MessageIcon::Question);
}

// Whether the archive declares no more than a configuration can hold. An
// archive the reader cannot list passes: its extraction fails.
bool declaredWithinImportLimits(const std::optional<ArchiveTotals>& totals, std::uint64_t archiveSize) {
  if (archiveSize > kImportMaxArchiveBytes) return false;
  return !totals || (totals->entries <= kImportMaxEntries && totals->bytes <= kImportMaxExtractedBytes);
}

// Whether the extracted content is within what a configuration can hold
// (an archive may declare less than it inflates to).
bool withinImportLimits(const std::string& folder) {
  const TreeSize size = measureTree(folder);
  return size.entries <= kImportMaxEntries && size.bytes <= kImportMaxExtractedBytes;
}

void mergeInto(const std::string& configFolder, const std::string& temporary, bool override) {
  const ExistingFile existing = override ? ExistingFile::Overwrite : ExistingFile::Keep;
  for (const std::string& relative : listRegularFiles(temporary)) {
    // A file that cannot be copied is passed over.
    (void)copyFileBelow(temporary + "/" + relative, configFolder, relative, existing);
  }
}

void offerMinimap(ConfigActionContext& context, const std::string& temporary) {
  for (const std::string& relative : listRegularFiles(temporary)) {
    if (fileNamePart(relative) != kMinimapFileName) continue;
    if (ask(context, kMinimapText, kMinimapTitle, MessageButtons::YesNo) == MessageAnswer::Yes) {
      // A failed copy leaves the working folder's minimap as it was.
      (void)replaceFileWithCopy(temporary + "/" + relative,
                                joinPath(context.workingFolder, kMinimapFileName));
    }
    return;
  }
}

std::pair<std::string, std::string> splitLast(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return {folderOf(trimmed), fileNamePart(trimmed)};
}

}  // namespace

bool replaceConfigFolder(const std::string& configFolder, const std::string& source,
                         std::string& reason) {
  if (!isConfigFolderPath(configFolder)) {
    reason = std::strerror(EINVAL);
    return false;
  }
  const auto [parent, name] = splitLast(configFolder);
  if (!platform::makeFolders(parent)) {
    reason = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  const std::optional<std::string> staging =
      createNumberedFolder(parent, name + kReplaceStagingSuffix);
  if (!staging) {
    reason = std::strerror(errno != 0 ? errno : EEXIST);
    return false;
  }
  if (!copyFolderContent(source, *staging, reason)) {
    removeTree(*staging);
    return false;
  }

  // One atomic exchange: a launcher killed at any moment finds the whole old
  // or the whole new configuration in force, never none. The staging name
  // then holds the previous folder; it is moved to the name of replaced
  // folders and removed (a part that cannot be removed stays there).
  if (pathExists(configFolder)) {
    const platform::ExchangeOutcome exchange = platform::exchangePaths(*staging, configFolder);
    if (exchange == platform::ExchangeOutcome::Exchanged) {
      std::string previous = *staging;
      const std::optional<std::string> aside = freeNumberedName(parent, name + kReplacedOldSuffix);
      if (aside && renameNoReplace(previous, *aside)) previous = *aside;
      removeTree(previous);
      return true;
    }
    if (exchange == platform::ExchangeOutcome::Failed) {
      reason = platform::lastErrorText();
      removeTree(*staging);
      return false;
    }
  }
  // A file system that cannot exchange: move the old folder aside, then the
  // new one in.
  std::optional<std::string> old;
  if (pathExists(configFolder)) {
    old = freeNumberedName(parent, name + kReplacedOldSuffix);
    if (!old || !renameNoReplace(configFolder, *old)) {
      reason = old ? platform::lastErrorText() : std::strerror(EEXIST);
      removeTree(*staging);
      return false;
    }
  }
  if (!renameNoReplace(*staging, configFolder)) {
    reason = platform::lastErrorText();
    if (old) (void)renameNoReplace(*old, configFolder);
    removeTree(*staging);
    return false;
  }
  // The new configuration is in force; a part of the old one that cannot be
  // removed stays beside it.
  if (old) removeTree(*old);
  return true;
}

void importConfiguration(ConfigActionContext& context) {
  SettingsStore& store = context.store;
  const platform::ChosenPath chosen =
      context.dialogs.chooseOpenFile(kImportDialogTitle, kImportFileType, kZipPattern);
  if (!chosen || chosen->empty()) return;
  const std::optional<std::uint64_t> archiveSize = regularFileSize(*chosen);
  if (!archiveSize) return;  // nothing to open: as a cancelled dialog
  // The archive is opened once: its directory is weighed, then the same
  // open file is extracted.
  archive::ArchiveToExtract zip(*chosen);
  const std::optional<ArchiveTotals> totals = declaredArchiveTotals(zip);
  if (!declaredWithinImportLimits(totals, *archiveSize)) {
    tell(context, MessageOwner::None, kImportExtractFailedText, kTitleImportError, MessageIcon::Error);
    return;
  }

  const std::optional<std::string> temporary =
      createNumberedFolder(context.workingFolder, kImportTempStem);
  if (!temporary) {
    tell(context, MessageOwner::None, kImportTempFailedText, kTitleImportError, MessageIcon::Error);
    return;
  }
  // The imported configuration always has its "characters" folder.
  const std::string characters = *temporary + "/" + kCharactersFolderName;
  if (platform::makeFolder(characters) != platform::CreateOutcome::Created) {
    tell(context, MessageOwner::None, kImportCharactersFailedText, kTitleImportError, MessageIcon::Error);
    return;
  }
  // After a failed extraction the temporary folder stays with what was
  // written, for the player to look at. Files in other folders than
  // "characters", or deeper inside it, are no configuration: such an archive
  // fails before anything is extracted.
  const bool configurationLayout = !totals || totals->configurationLayout;
  if (!configurationLayout || !zip.extractTo(*temporary, context.window)) {
    tell(context, MessageOwner::None, kImportExtractFailedText, kTitleImportError, MessageIcon::Error);
    return;
  }
  if (!withinImportLimits(*temporary)) {
    removeTree(*temporary);
    tell(context, MessageOwner::None, kImportExtractFailedText, kTitleImportError, MessageIcon::Error);
    return;
  }

  const MessageAnswer mode = ask(context, kImportModeText, kImportModeTitle,
                                 MessageButtons::YesNoCancel);
  if (mode != MessageAnswer::Yes && mode != MessageAnswer::No) {
    removeTree(*temporary);
    return;
  }
  const bool replace = mode == MessageAnswer::Yes;
  const bool override =
      !replace && ask(context, kMergeOverrideText, kMergeOverrideTitle, MessageButtons::YesNo) ==
                      MessageAnswer::Yes;

  const std::string configFolder = store.resolveSettingsPath(SettingsFile::Config, true);
  if (replace) {
    std::string reason;
    if (!replaceConfigFolder(configFolder, *temporary, reason)) {
      removeTree(*temporary);
      tell(context, MessageOwner::None, kImportReplaceFailedText + reason, kTitleImportError, MessageIcon::Error);
      return;
    }
  } else {
    mergeInto(configFolder, *temporary, override);
  }

  offerMinimap(context, *temporary);
  removeTree(*temporary);
  tell(context, MessageOwner::None, kImportDoneText, kTitleSuccess, MessageIcon::Information);

  if (replace || override) {
    store.unload(SettingsFile::Config, true);
    store.loadSettings(SettingsFile::Config);
  } else {
    // Values in memory win; keys only the file has are added; pending
    // changes are written to the file in force.
    store.unload(SettingsFile::Config, false);
    store.reloadConfigKeepingMemory();
    store.saveSettings(SettingsFile::Config);
  }
  if (context.loadServerSettings) context.loadServerSettings();
  if (context.refreshUiAfterImport) context.refreshUiAfterImport();
}

}  // namespace kv::settings
