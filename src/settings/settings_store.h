#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "base/launcher_files.h"

namespace kv::settings {

// The two key-value files of the launcher.
enum class SettingsFile { Config = 0, System = 1 };

inline constexpr const char* kDefaultConfigContent = "enableAudio: true\n";

// The in-memory copy of one settings file.
struct SettingsTable {
  std::map<std::string, std::string> entries;
  bool loaded = false;  // the file was read; the next access does not read it again
  bool dirty = false;   // the table holds changes that are not yet written
  std::string path;     // where the last load resolved the file; saving writes there
};

// Parses one line of a settings file. Answers false for a line without ':'.
// Every ASCII whitespace character is removed from key and value, wherever it
// stands; only the first ':' splits.
bool parseSettingsLine(const std::string& line, std::string& key, std::string& value);

// Reads a whole settings text into key/value pairs in file order.
template <typename Fn>
void forEachSettingsLine(const std::string& text, Fn&& fn) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string key, value;
    if (parseSettingsLine(text.substr(start, end - start), key, value)) fn(key, value);
    if (end == text.size()) break;
    start = end + 1;
  }
}

// Standard string-to-int conversion as the store reads numbers: optional
// leading whitespace, sign, decimal digits; trailing characters are ignored.
// Answers fallback for no digits or a value outside 32-bit range.
std::int32_t parseIntOr(const std::string& text, std::int32_t fallback);

// Where the settings files live and which server is current.
struct SettingsLocations {
  std::string executableDirectory;  // folder of the running launcher, no trailing '/'
  std::string profileFolder;        // the user's home folder
  // Folder name of the current server ("eu", "us"), read at each call.
  std::function<std::string()> currentServerFolder;
  // Takes one line for the log when a settings file cannot be saved; may be
  // empty.
  std::function<void(const std::string&)> logFailure;

  // The folder that holds the shared configuration folder: the profile
  // folder, or the launcher's folder when no profile folder is known (never
  // the file-system root).
  const std::string& sharedFolderParent() const {
    return profileFolder.empty() ? executableDirectory : profileFolder;
  }
};

// The launcher's settings: the game client configuration ("config.kvml",
// shared or per server) and the launcher's own "system.kvml". Main thread
// only; no locking. No operation shows a message or throws.
class SettingsStore {
 public:
  explicit SettingsStore(SettingsLocations locations);

  // The path of the settings file, or of the folder holding it. For Config
  // this may create the shared folder and its default file; for System the
  // file path is returned whatever folderOnly says.
  std::string resolveSettingsPath(SettingsFile file, bool folderOnly);

  // Reads the file into its table once; does nothing when already loaded.
  void loadSettings(SettingsFile file);
  // Config only: reads the file but adds only keys the table lacks (values in
  // memory win; of duplicate lines the earlier wins). Does nothing when
  // Config is loaded.
  void reloadConfigKeepingMemory();
  // Writes the table to its remembered path when loaded and dirty, in one
  // step (a link there is followed and kept); a failed write leaves the old
  // file whole and is logged. dirty is cleared even when writing fails.
  void saveSettings(SettingsFile file);
  // saveSettings(Config), then saveSettings(System).
  void saveAllSettings();
  // Writes the Config table to another file, leaving out "account" and
  // "password" unless includeLogin. False when Config is not loaded or the
  // file cannot be written.
  [[nodiscard]] bool writeConfigCopy(const std::string& targetPath, bool includeLogin);

  std::int32_t getInt(SettingsFile file, const std::string& key, std::int32_t defaultValue);
  void setInt(SettingsFile file, const std::string& key, std::int32_t value);
  // Config only: missing keys read true; otherwise true only for "true".
  bool getBool(const std::string& key);
  void setBool(const std::string& key, bool value);
  std::string getString(SettingsFile file, const std::string& key);
  void setString(SettingsFile file, const std::string& key, const std::string& value);

  // Whether the configuration in force lies in the current server's own
  // config folder.
  bool isLocalConfig();

  // Forgets the file so the next access reads it again from the newly
  // resolved place; clearTable empties the table first.
  void unload(SettingsFile file, bool clearTable);

  // Direct view of a table (tests, export).
  const SettingsTable& table(SettingsFile file) const;

  const SettingsLocations& locations() const { return locations_; }

 private:
  SettingsTable& tableOf(SettingsFile file);

  SettingsLocations locations_;
  SettingsTable config_;
  SettingsTable system_;
};

// Text of a table as it is written: one "key: value\n" line per entry.
std::string formatSettings(const std::map<std::string, std::string>& entries,
                           bool includeLogin = true);

}  // namespace kv::settings
