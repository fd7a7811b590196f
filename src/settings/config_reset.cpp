#include "settings/config_reset.h"

#include "settings/config_files.h"
#include "settings/config_placement.h"
#include "settings/config_texts.h"

namespace kv::settings {

using platform::MessageAnswer;
using platform::MessageButtons;
using platform::MessageIcon;
using platform::MessageOwner;

void resetConfiguration(ConfigActionContext& context) {
  SettingsStore& store = context.store;
  if (context.dialogs.messageBox(MessageOwner::None, kResetConfirmText, kResetConfirmTitle,
                                 MessageButtons::YesNo, MessageIcon::Warning) !=
      MessageAnswer::Yes) {
    return;
  }

  const std::string configFolder = store.resolveSettingsPath(SettingsFile::Config, true);
  // A configuration folder that is a link to the profile folder (or to the
  // root) would take the whole profile with it. Without a profile folder the
  // shared folder lives beside the launcher, which is then guarded instead.
  if (leadsToProfileOrAbove(configFolder, store.locations().sharedFolderParent())) {
    tell(context, MessageOwner::None, kResetRefusedText + pathDisplayText(configFolder), kTitleResetError,
         MessageIcon::Error);
    return;
  }
  if (isConfigFolderPath(configFolder)) {
    // Entries that cannot be deleted stay; the default file is written all
    // the same.
    removeFolderContent(configFolder);
    (void)writeFileNoFollow(configFolder + "/" + kConfigFileName, kDefaultConfigContent);
  }
  (void)context.dialogs.messageBox(MessageOwner::None, kResetDoneText, kTitleSuccess,
                                   MessageButtons::Ok, MessageIcon::Information);

  // Pending changes are dropped with the table.
  store.unload(SettingsFile::Config, true);
  if (context.currentServer) store.setInt(SettingsFile::System, "server", context.currentServer());
  store.loadSettings(SettingsFile::Config);
  if (context.loadServerSettings) context.loadServerSettings();
  if (context.recreateUiResources) context.recreateUiResources();
}

}  // namespace kv::settings
