#include "settings/settings_store.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <limits>
#include <optional>

#include "platform/file_system.h"

namespace kv::settings {
namespace {

bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string withoutSpaces(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (!isAsciiSpace(c)) out.push_back(c);
  }
  return out;
}

bool isRegularOrOther(const std::string& path) {
  const platform::PathKind kind = platform::targetKind(path);
  return kind == platform::PathKind::File || kind == platform::PathKind::Other;
}

// Replaces the content of the file at path (through a link there, as a
// settings file may be one) with text in one step: a reader, or the next
// start after a kill or a full disk, finds the old or the new file whole.
// reason receives the system's text on failure.
bool writeText(const std::string& path, const std::string& text, std::string& reason) {
  return platform::replaceFileAtomically(platform::linkTargetPath(path), text, &reason);
}

// The whole settings file at path; nothing when it cannot be read.
std::optional<std::string> readSettingsFile(const std::string& path) {
  return platform::readRegularFile(path, std::numeric_limits<std::uint64_t>::max());
}

}  // namespace

bool parseSettingsLine(const std::string& line, std::string& key, std::string& value) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  key = withoutSpaces(line.substr(0, colon));
  value = withoutSpaces(line.substr(colon + 1));
  return true;
}

std::int32_t parseIntOr(const std::string& text, std::int32_t fallback) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(begin, &end, 10);
  if (end == begin) return fallback;
  if (errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) return fallback;
  return static_cast<std::int32_t>(parsed);
}

std::string formatSettings(const std::map<std::string, std::string>& entries, bool includeLogin) {
  std::string out;
  for (const auto& [key, value] : entries) {
    if (!includeLogin && (key == "account" || key == "password")) continue;
    out += key;
    out += ": ";
    out += value;
    out += '\n';
  }
  return out;
}

SettingsStore::SettingsStore(SettingsLocations locations) : locations_(std::move(locations)) {}

SettingsTable& SettingsStore::tableOf(SettingsFile file) {
  return file == SettingsFile::Config ? config_ : system_;
}

const SettingsTable& SettingsStore::table(SettingsFile file) const {
  return file == SettingsFile::Config ? config_ : system_;
}

std::string SettingsStore::resolveSettingsPath(SettingsFile file, bool folderOnly) {
  const std::string& exeDir = locations_.executableDirectory;
  if (file == SettingsFile::System) return exeDir + "/" + kSystemFileName;

  const std::string server =
      locations_.currentServerFolder ? locations_.currentServerFolder() : std::string();
  const std::string localFolder = exeDir + "/" + server + "/config";
  const std::string localFile = localFolder + "/" + kConfigFileName;
  if (isRegularOrOther(localFile)) return folderOnly ? localFolder : localFile;

  // Without a known profile folder the shared folder goes beside the
  // launcher, never to the file-system root.
  const std::string& base = locations_.sharedFolderParent();
  const std::string sharedFolder = base + "/" + kSharedFolderName;
  const std::string sharedFile = sharedFolder + "/" + kConfigFileName;
  if (!base.empty()) {
    (void)platform::makeFolder(sharedFolder);  // exists already, or cannot be made: carry on
    std::string reason;
    if (!platform::openForReading(sharedFile).ok()) (void)writeText(sharedFile, kDefaultConfigContent, reason);
  }
  return folderOnly ? sharedFolder : sharedFile;
}

void SettingsStore::loadSettings(SettingsFile file) {
  SettingsTable& t = tableOf(file);
  if (t.loaded) return;
  t.path = resolveSettingsPath(file, false);
  const std::optional<std::string> text = readSettingsFile(t.path);
  if (text) {
    forEachSettingsLine(*text, [&](const std::string& key, const std::string& value) {
      t.entries[key] = value;
    });
  }
  t.loaded = true;
}

void SettingsStore::reloadConfigKeepingMemory() {
  SettingsTable& t = config_;
  if (t.loaded) return;
  t.path = resolveSettingsPath(SettingsFile::Config, false);
  const std::optional<std::string> text = readSettingsFile(t.path);
  if (text) {
    forEachSettingsLine(*text, [&](const std::string& key, const std::string& value) {
      t.entries.try_emplace(key, value);
    });
  }
  t.loaded = true;
}

void SettingsStore::saveSettings(SettingsFile file) {
  SettingsTable& t = tableOf(file);
  if (!t.dirty || !t.loaded) return;
  std::string reason;
  if (!writeText(t.path, formatSettings(t.entries), reason) && locations_.logFailure) {
    locations_.logFailure("Cannot save settings file " + t.path + ": " + reason);
  }
  t.dirty = false;
}

void SettingsStore::saveAllSettings() {
  saveSettings(SettingsFile::Config);
  saveSettings(SettingsFile::System);
}

bool SettingsStore::writeConfigCopy(const std::string& targetPath, bool includeLogin) {
  if (!config_.loaded) return false;
  std::string reason;
  return writeText(targetPath, formatSettings(config_.entries, includeLogin), reason);
}

std::int32_t SettingsStore::getInt(SettingsFile file, const std::string& key,
                                   std::int32_t defaultValue) {
  loadSettings(file);
  const SettingsTable& t = tableOf(file);
  const auto it = t.entries.find(key);
  if (it == t.entries.end()) return defaultValue;
  return parseIntOr(it->second, defaultValue);
}

void SettingsStore::setInt(SettingsFile file, const std::string& key, std::int32_t value) {
  loadSettings(file);
  SettingsTable& t = tableOf(file);
  t.entries[key] = std::to_string(value);
  t.dirty = true;
}

bool SettingsStore::getBool(const std::string& key) {
  loadSettings(SettingsFile::Config);
  const auto it = config_.entries.find(key);
  if (it == config_.entries.end()) return true;
  return it->second == "true";
}

void SettingsStore::setBool(const std::string& key, bool value) {
  loadSettings(SettingsFile::Config);
  config_.entries[key] = value ? "true" : "false";
  config_.dirty = true;
}

std::string SettingsStore::getString(SettingsFile file, const std::string& key) {
  loadSettings(file);
  const SettingsTable& t = tableOf(file);
  const auto it = t.entries.find(key);
  return it == t.entries.end() ? std::string() : it->second;
}

void SettingsStore::setString(SettingsFile file, const std::string& key,
                              const std::string& value) {
  loadSettings(file);
  SettingsTable& t = tableOf(file);
  t.entries[key] = value;
  t.dirty = true;
}

bool SettingsStore::isLocalConfig() {
  const std::string path = resolveSettingsPath(SettingsFile::Config, false);
  const std::string server =
      locations_.currentServerFolder ? locations_.currentServerFolder() : std::string();
  return path.find(server + "/config/") != std::string::npos;
}

void SettingsStore::unload(SettingsFile file, bool clearTable) {
  SettingsTable& t = tableOf(file);
  if (clearTable) t.entries.clear();
  t.loaded = false;
}

}  // namespace kv::settings
