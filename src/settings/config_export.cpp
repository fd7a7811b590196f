#include "settings/config_export.h"

#include <ctime>
#include <optional>

#include "archive/zip_archive.h"
#include "platform/local_time.h"
#include "settings/config_files.h"
#include "settings/config_texts.h"

namespace kv::settings {
namespace {

using platform::MessageAnswer;
using platform::MessageButtons;
using platform::MessageIcon;
using platform::MessageOwner;

}  // namespace

std::string defaultExportName(const std::string& serverFolder, const std::string& timeStamp) {
  return "config_" + serverFolder + "_" + timeStamp + ".zip";
}

std::string localTimeStamp() {
  const std::time_t now = std::time(nullptr);
  const std::optional<std::tm> local = platform::localTime(now);
  if (!local) return "00000000_000000";
  char buffer[32];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y%m%d_%H%M%S", &*local);
  return std::string(buffer, length);
}

void exportConfiguration(ConfigActionContext& context) {
  SettingsStore& store = context.store;
  store.saveSettings(SettingsFile::Config);

  const SettingsLocations& where = store.locations();
  const std::string server = where.currentServerFolder ? where.currentServerFolder() : std::string();
  const std::string stamp = context.timeStamp ? context.timeStamp() : localTimeStamp();
  const platform::ChosenPath chosen =
      context.dialogs.chooseSaveFile(kExportDialogTitle, defaultExportName(server, stamp),
                                     kExportFileType, kZipPattern);
  if (!chosen || chosen->empty()) return;
  const std::string archivePath = *chosen;

  const bool includeLogin =
      context.dialogs.messageBox(MessageOwner::MainWindow, kIncludeLoginText, kIncludeLoginTitle,
                                 MessageButtons::YesNo, MessageIcon::Question) == MessageAnswer::Yes;

  const std::optional<std::string> temporary =
      createNumberedFolder(context.workingFolder, kExportTempStem);
  if (!temporary) {
    tell(context, MessageOwner::MainWindow, kExportTempFailedText, kTitleExportError, MessageIcon::Error);
    return;
  }

  // The temporary folder stays when copying or rewriting fails, so the
  // player can see what was gathered.
  std::string reason;
  if (!copyFolderContent(store.resolveSettingsPath(SettingsFile::Config, true), *temporary,
                         reason)) {
    tell(context, MessageOwner::MainWindow, std::string(kExportCopyFailedText) + reason, kTitleExportError,
         MessageIcon::Error);
    return;
  }
  if (!store.writeConfigCopy(*temporary + "/" + kConfigFileName, includeLogin)) {
    tell(context, MessageOwner::MainWindow, kExportConfigFailedText, kTitleExportError, MessageIcon::Error);
    return;
  }

  if (archive::createZipArchive(*temporary, archivePath)) {
    tell(context, MessageOwner::MainWindow, kExportDoneText, kTitleSuccess, MessageIcon::Information);
  } else {
    tell(context, MessageOwner::MainWindow, kExportZipFailedText, kTitleExportError, MessageIcon::Error);
  }
  removeTree(*temporary);
}

}  // namespace kv::settings
