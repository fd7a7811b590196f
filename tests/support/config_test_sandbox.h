#pragma once

// Test fixtures of the configuration actions: a sandbox with an installation
// folder, a profile folder, a working folder and an outside folder with
// canaries; ZIP files written and read back through libzip.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "settings/config_context.h"
#include "settings/settings_store.h"
#include "support/temp_dir.h"
#include "support/zip_files.h"

namespace kv::settings::test {

using kv::test::readFile;
using kv::test::TempDir;
using kv::test::writeFile;
using platform::MessageAnswer;
using platform::MessageButtons;
using platform::MessageIcon;
using platform::MessageOwner;
using platform::fake::ShownBox;

using Tree = std::map<std::string, std::string>;

using kv::test::readZip;
using kv::test::writeZip;
using kv::test::ZipItem;

// Every file, folder and link under root, keyed by its path relative to
// root (links are not resolved for the key): file content, "<dir>",
// "-> target" for links, "<special>" for pipes and the like.
inline Tree snapshotTree(const std::string& root) {
  namespace fs = std::filesystem;
  Tree out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string key = it->path().lexically_relative(root).generic_string();
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      out[key] = "-> " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      out[key] = "<dir>";
    } else if (fs::is_regular_file(status)) {
      out[key] = readFile(it->path().string());
    } else {
      out[key] = "<special>";
    }
  }
  return out;
}

// The entries of tree whose paths start with none of the prefixes.
inline Tree withoutPrefixes(const Tree& tree, const std::vector<std::string>& prefixes) {
  Tree out;
  for (const auto& [path, content] : tree) {
    bool excluded = false;
    for (const std::string& prefix : prefixes) {
      if (path == prefix || path.rfind(prefix + "/", 0) == 0) excluded = true;
    }
    if (!excluded) out[path] = content;
  }
  return out;
}

// A launcher installation ("install" with "eu" and "us"), the player's home
// ("home", already holding other files), the working folder ("work") and an
// outside folder with canaries, all in one temporary folder; a store and an
// action context bound to them with fake dialogs. Callbacks are logged.
class ConfigSandbox {
 public:
  ConfigSandbox()
      : install(dir / "install"),
        home(dir / "home"),
        work(dir / "work"),
        outside(dir / "outside"),
        store(SettingsLocations{install, home, [this] { return serverFolder; }}),
        context{store, dialogs} {
    writeFile(install + "/eu/client.bin", "eu client");
    writeFile(install + "/us/client.bin", "us client");
    writeFile(install + "/system.kvml", "server: 1\n");
    writeFile(home + "/documents/letter.txt", "dear player");
    writeFile(work + "/minimap.kvmm", "working minimap");
    writeFile(outside + "/canary.bin", std::string("\0\1\2canary", 9));
    writeFile(outside + "/secret.txt", "secret");
    context.workingFolder = work;
    context.currentServer = [this] { return serverIndex; };
    context.timeStamp = [] { return std::string("20260307_140509"); };
    context.loadServerSettings = [this] { calls.push_back("loadServerSettings"); };
    context.recreateUiResources = [this] { calls.push_back("recreateUiResources"); };
    context.refreshUiAfterImport = [this] { calls.push_back("refreshUiAfterImport"); };
    context.refreshConfigPathLine = [this] { calls.push_back("refreshConfigPathLine"); };
  }

  std::string localFolder() const { return install + "/" + serverFolder + "/config"; }
  std::string backupFolder() const { return install + "/" + serverFolder + "/config_backup"; }
  std::string sharedFolder() const { return home + "/vandrel"; }
  // Path of p relative to the sandbox root, as snapshot keys are.
  std::string relative(const std::string& p) const { return p.substr(dir.path().size() + 1); }

  // Gives the current server a configuration of its own with these files.
  void makeLocalConfig(const Tree& files) {
    for (const auto& [name, content] : files) writeFile(localFolder() + "/" + name, content);
  }
  void makeSharedConfig(const Tree& files) {
    for (const auto& [name, content] : files) writeFile(sharedFolder() + "/" + name, content);
  }

  Tree snapshot() const { return snapshotTree(dir.path()); }
  // The whole sandbox except the given paths (absolute) and what lies below.
  Tree snapshotExcept(const std::vector<std::string>& paths) const {
    std::vector<std::string> prefixes;
    for (const std::string& p : paths) prefixes.push_back(relative(p));
    return withoutPrefixes(snapshot(), prefixes);
  }

  std::vector<ShownBox> boxes() const { return dialogs.boxes(); }

  TempDir dir;
  std::string install, home, work, outside;
  std::string serverFolder = "eu";
  int serverIndex = 1;
  platform::fake::FakeDialogs dialogs;
  SettingsStore store;
  ConfigActionContext context;
  std::vector<std::string> calls;
};

// Compares the boxes shown with (text, title) pairs.
inline std::vector<std::pair<std::string, std::string>> textsAndTitles(
    const std::vector<ShownBox>& boxes) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const ShownBox& box : boxes) out.emplace_back(box.text, box.title);
  return out;
}

}  // namespace kv::settings::test
