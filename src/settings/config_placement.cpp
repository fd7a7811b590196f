#include "settings/config_placement.h"

#include "platform/file_system.h"
#include "settings/config_files.h"
#include "settings/config_texts.h"

namespace kv::settings {
namespace {

std::string serverFolderPath(const SettingsStore& store) {
  const SettingsLocations& where = store.locations();
  const std::string server = where.currentServerFolder ? where.currentServerFolder() : std::string();
  return where.executableDirectory + "/" + server;
}

// Length of the valid UTF-8 sequence at text[i], or 0 when it is invalid.
std::size_t utf8SequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string localConfigFolder(const SettingsStore& store) {
  return serverFolderPath(store) + "/" + kConfigFolderName;
}

std::string backupConfigFolder(const SettingsStore& store) {
  return serverFolderPath(store) + "/" + kConfigBackupFolderName;
}

bool isConfigFolderPath(const std::string& path) {
  const std::string name = platform::finalName(path);
  return name == kConfigFolderName || name == kSharedFolderName;
}

bool leadsToProfileOrAbove(const std::string& path, const std::string& profileFolder) {
  return platform::leadsToFolderOrAbove(path, profileFolder);
}

void toggleLocalConfig(ConfigActionContext& context) {
  SettingsStore& store = context.store;
  const std::string local = localConfigFolder(store);
  const std::string backup = backupConfigFolder(store);

  // The results of the moves are not checked: the reload below finds the
  // placement that actually resulted.
  if (store.isLocalConfig()) {
    (void)renameNoReplace(local, backup);
  } else if (isRealFolder(backup)) {
    (void)renameNoReplace(backup, local);
  } else {
    (void)platform::makeFolder(local);  // may exist already
    (void)writeFileNoFollow(local + "/" + kConfigFileName, kDefaultConfigContent);
  }

  // Neither saved nor emptied: entries the new file lacks, and pending
  // changes, stay in the table.
  store.unload(SettingsFile::Config, false);
  store.loadSettings(SettingsFile::Config);
  if (context.currentServer) store.setInt(SettingsFile::System, "server", context.currentServer());

  if (context.loadServerSettings) context.loadServerSettings();
  if (context.recreateUiResources) context.recreateUiResources();
  if (context.refreshConfigPathLine) context.refreshConfigPathLine();
}

std::string toDisplayUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string pathDisplayText(const std::string& path) {
  return toDisplayUtf8(platform::displayPath(path));
}

std::string configFolderDisplayText(SettingsStore& store) {
  return pathDisplayText(store.resolveSettingsPath(SettingsFile::Config, true));
}

}  // namespace kv::settings
