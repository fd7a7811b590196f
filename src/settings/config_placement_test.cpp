#include "settings/config_placement.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/config_test_sandbox.h"

namespace kv::settings {
namespace {

using test::ConfigSandbox;
using test::Tree;
using kv::test::exists;
using kv::test::readFile;
using test::snapshotTree;
using kv::test::writeFile;

const std::vector<std::string> kToggleCalls{"loadServerSettings", "recreateUiResources",
                                            "refreshConfigPathLine"};

TEST(ToggleLocalConfig, RoundTripBetweenOwnAndSharedConfiguration) {
  ConfigSandbox s;
  s.makeSharedConfig({{"config.kvml", "musicSoundVolume: 40\n"}});
  const Tree otherServer = snapshotTree(s.install + "/us");
  const Tree others = s.snapshotExcept({s.localFolder(), s.backupFolder()});
  EXPECT_FALSE(s.store.isLocalConfig());

  // Shared -> a fresh configuration of the server's own.
  toggleLocalConfig(s.context);
  EXPECT_EQ(readFile(s.localFolder() + "/config.kvml"), "enableAudio: true\n");
  EXPECT_TRUE(s.store.isLocalConfig());
  EXPECT_EQ(configFolderDisplayText(s.store), s.localFolder());
  EXPECT_EQ(s.store.getString(SettingsFile::System, "server"), "1");
  EXPECT_EQ(s.calls, kToggleCalls);

  // Own -> shared, the own configuration parked with what it gathered.
  writeFile(s.localFolder() + "/config.kvml", "uiSoundVolume: 7\n");
  writeFile(s.localFolder() + "/characters/hero.kvml", "hero");
  toggleLocalConfig(s.context);
  EXPECT_FALSE(exists(s.localFolder()));
  EXPECT_EQ(snapshotTree(s.backupFolder()), (Tree{{"config.kvml", "uiSoundVolume: 7\n"},
                                                  {"characters", "<dir>"},
                                                  {"characters/hero.kvml", "hero"}}));
  EXPECT_FALSE(s.store.isLocalConfig());
  EXPECT_EQ(configFolderDisplayText(s.store), s.sharedFolder());

  // Shared -> the parked configuration again.
  toggleLocalConfig(s.context);
  EXPECT_FALSE(exists(s.backupFolder()));
  EXPECT_EQ(readFile(s.localFolder() + "/characters/hero.kvml"), "hero");
  EXPECT_TRUE(s.store.isLocalConfig());
  EXPECT_EQ(s.store.getInt(SettingsFile::Config, "uiSoundVolume", 100), 7);

  EXPECT_EQ(snapshotTree(s.install + "/us"), otherServer);
  EXPECT_EQ(readFile(s.sharedFolder() + "/config.kvml"), "musicSoundVolume: 40\n");
  EXPECT_EQ(s.snapshotExcept({s.localFolder(), s.backupFolder()}), others);
  EXPECT_TRUE(s.boxes().empty());
}

TEST(ToggleLocalConfig, FailingRenamesMoveNothing) {
  struct Case {
    const char* name;
    Tree files;  // below the server folder
    bool localBefore;
  };
  const Case cases[] = {
      // Clearing the checkbox while a parked configuration exists.
      {"backup exists when leaving own configuration",
       {{"config/config.kvml", "musicSoundVolume: 5\n"},
        {"config_backup/config.kvml", "musicSoundVolume: 6\n"}},
       true},
      // An empty parked folder also blocks the rename.
      {"empty backup folder exists when leaving own configuration",
       {{"config/config.kvml", "musicSoundVolume: 5\n"}, {"config_backup/", ""}},
       true},
      // Setting it while a config folder without its file stands in the way.
      {"config folder without file and a backup",
       {{"config/characters/hero.kvml", "hero"},
        {"config_backup/config.kvml", "musicSoundVolume: 6\n"}},
       false},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    for (const auto& [name, content] : c.files) {
      if (name.back() == '/') {
        std::filesystem::create_directories(s.install + "/eu/" + name);
      } else {
        writeFile(s.install + "/eu/" + name, content);
      }
    }
    const Tree before = snapshotTree(s.install + "/eu");
    ASSERT_EQ(s.store.isLocalConfig(), c.localBefore) << c.name;
    const Tree whole = s.snapshot();
    toggleLocalConfig(s.context);
    EXPECT_EQ(snapshotTree(s.install + "/eu"), before) << c.name;
    EXPECT_EQ(s.snapshot(), whole) << c.name;
    EXPECT_EQ(s.store.isLocalConfig(), c.localBefore) << c.name;
    EXPECT_EQ(s.calls, kToggleCalls) << c.name;
  }
}

TEST(ToggleLocalConfig, ConfigFolderWithoutFileGetsTheDefaultFileAndKeepsItsContent) {
  ConfigSandbox s;
  writeFile(s.localFolder() + "/characters/hero.kvml", "hero");
  writeFile(s.localFolder() + "/minimap.kvmm", "map");
  ASSERT_FALSE(s.store.isLocalConfig());  // the shared default exists from here on
  const Tree others = s.snapshotExcept({s.localFolder()});
  toggleLocalConfig(s.context);
  EXPECT_EQ(snapshotTree(s.localFolder()), (Tree{{"config.kvml", "enableAudio: true\n"},
                                                 {"characters", "<dir>"},
                                                 {"characters/hero.kvml", "hero"},
                                                 {"minimap.kvmm", "map"}}));
  EXPECT_TRUE(s.store.isLocalConfig());
  EXPECT_EQ(s.snapshotExcept({s.localFolder()}), others);
}

TEST(ToggleLocalConfig, ReloadKeepsTheTableAndPendingChanges) {
  ConfigSandbox s;
  s.makeSharedConfig({{"config.kvml", "musicSoundVolume: 40\nenableAudio: false\n"}});
  EXPECT_EQ(s.store.getInt(SettingsFile::Config, "musicSoundVolume", 100), 40);
  s.store.setInt(SettingsFile::Config, "uiSoundVolume", 12);  // pending
  const Tree others = s.snapshotExcept({s.localFolder()});

  toggleLocalConfig(s.context);
  // The fresh file's key replaces the table's; keys it lacks answer from memory.
  EXPECT_TRUE(s.store.getBool("enableAudio"));
  EXPECT_EQ(s.store.getInt(SettingsFile::Config, "musicSoundVolume", 100), 40);
  EXPECT_TRUE(s.store.table(SettingsFile::Config).dirty);
  // Nothing was written before the next save, which writes the new place.
  EXPECT_EQ(readFile(s.localFolder() + "/config.kvml"), "enableAudio: true\n");
  s.store.saveSettings(SettingsFile::Config);
  EXPECT_EQ(readFile(s.localFolder() + "/config.kvml"),
            "enableAudio: true\nmusicSoundVolume: 40\nuiSoundVolume: 12\n");
  EXPECT_EQ(readFile(s.sharedFolder() + "/config.kvml"),
            "musicSoundVolume: 40\nenableAudio: false\n");
  EXPECT_EQ(s.snapshotExcept({s.localFolder()}), others);
}

TEST(ToggleLocalConfig, ALinkedBackupIsNotBroughtBack) {
  ConfigSandbox s;
  writeFile(s.outside + "/config.kvml", "musicSoundVolume: 1\n");
  ASSERT_EQ(::symlink(s.outside.c_str(), s.backupFolder().c_str()), 0);
  const Tree outsideBefore = snapshotTree(s.outside);
  ASSERT_FALSE(s.store.isLocalConfig());  // the shared default exists from here on
  const Tree others = s.snapshotExcept({s.localFolder()});
  toggleLocalConfig(s.context);
  EXPECT_EQ(readFile(s.localFolder() + "/config.kvml"), "enableAudio: true\n");
  EXPECT_EQ(snapshotTree(s.outside), outsideBefore);
  EXPECT_EQ(s.snapshotExcept({s.localFolder()}), others);
}

TEST(ConfigFolderDisplayText, ValidUtf8StaysAndBrokenBytesAreReplaced) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"/home/p/vandrel", "/home/p/vandrel"},
      {"/home/\xC3\x86r\xC3\xB8/vandrel", "/home/\xC3\x86r\xC3\xB8/vandrel"},  // Ærø
      {"/home/\xE6\x97\xA5\xE6\x9C\xAC", "/home/\xE6\x97\xA5\xE6\x9C\xAC"},    // 日本
      {"/home/\xF0\x9F\x8E\xAE", "/home/\xF0\x9F\x8E\xAE"},                    // a game pad
      {"/home/\xC6r\xF8", "/home/\xEF\xBF\xBDr\xEF\xBF\xBD"},                // Latin-1 bytes
      {"/x/\xC0\xAF", "/x/\xEF\xBF\xBD\xEF\xBF\xBD"},                          // overlong '/'
      {"/x/\xED\xA0\x80", "/x/\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},          // surrogate
      {"/x/\xE6\x97", "/x/\xEF\xBF\xBD\xEF\xBF\xBD"},                          // cut short
  };
  for (const Case& c : cases) EXPECT_EQ(toDisplayUtf8(c.in), c.out) << c.in;
}

TEST(IsConfigFolderPath, OnlyConfigurationFolders) {
  EXPECT_TRUE(isConfigFolderPath("/opt/kv/eu/config"));
  EXPECT_TRUE(isConfigFolderPath("/home/p/vandrel"));
  EXPECT_TRUE(isConfigFolderPath("/vandrel"));
  EXPECT_TRUE(isConfigFolderPath("/home/p/vandrel/"));
  EXPECT_FALSE(isConfigFolderPath("/"));
  EXPECT_FALSE(isConfigFolderPath(""));
  EXPECT_FALSE(isConfigFolderPath("/home/p"));
  EXPECT_FALSE(isConfigFolderPath("/home/p/vandrel/.."));
  EXPECT_FALSE(isConfigFolderPath("/opt/kv/eu"));
}

}  // namespace
}  // namespace kv::settings
