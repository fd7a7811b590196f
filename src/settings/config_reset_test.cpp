#include "settings/config_reset.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "settings/config_test_sandbox.h"

namespace kv::settings {
namespace {

using test::ConfigSandbox;
using test::ImmutableGuard;
using test::MessageAnswer;
using test::MessageButtons;
using test::MessageIcon;
using test::MessageOwner;
using test::Tree;
using kv::test::readFile;
using test::snapshotTree;
using kv::test::writeFile;

const Tree kOldConfiguration{
    {"config.kvml", "musicSoundVolume: 30\nenableMusicSound: false\naccount: hero\n"},
    {"minimap.kvmm", "map"},
    {"characters/hero.kvml", "hero"},
    {"characters/guild/notes.txt", "notes"},
};

TEST(ResetConfiguration, EmptiesTheConfigurationInForceAndWritesTheDefault) {
  struct Case {
    const char* name;
    bool local;
  };
  for (const Case c : {Case{"own configuration", true}, Case{"shared configuration", false}}) {
    ConfigSandbox s;
    if (c.local) {
      s.makeLocalConfig(kOldConfiguration);
      writeFile(s.backupFolder() + "/config.kvml", "parked");
      // The shared folder exists too and must stay as it is.
      s.makeSharedConfig({{"config.kvml", "uiSoundVolume: 3\n"}});
    } else {
      s.makeSharedConfig(kOldConfiguration);
    }
    const std::string folder = c.local ? s.localFolder() : s.sharedFolder();
    EXPECT_EQ(s.store.getInt(SettingsFile::Config, "musicSoundVolume", 100), 30) << c.name;
    s.store.setInt(SettingsFile::Config, "uiSoundVolume", 9);  // pending, to be dropped
    const Tree others = s.snapshotExcept({folder, s.install + "/system.kvml"});

    resetConfiguration(s.context);

    EXPECT_EQ(snapshotTree(folder), (Tree{{"config.kvml", "enableAudio: true\n"}})) << c.name;
    EXPECT_EQ(s.snapshotExcept({folder, s.install + "/system.kvml"}), others) << c.name;
    EXPECT_EQ(s.store.isLocalConfig(), c.local) << c.name;
    EXPECT_TRUE(s.store.getBool("enableMusicSound")) << c.name;
    EXPECT_EQ(s.store.getInt(SettingsFile::Config, "musicSoundVolume", 100), 100) << c.name;
    EXPECT_EQ(s.store.getInt(SettingsFile::Config, "uiSoundVolume", 100), 100) << c.name;
    EXPECT_EQ(s.store.table(SettingsFile::Config).entries,
              (std::map<std::string, std::string>{{"enableAudio", "true"}}))
        << c.name;
    EXPECT_EQ(s.store.getInt(SettingsFile::System, "server", 2), 1) << c.name;
    EXPECT_EQ(s.calls, (std::vector<std::string>{"loadServerSettings", "recreateUiResources"}))
        << c.name;

    const auto boxes = s.boxes();
    ASSERT_EQ(boxes.size(), 2u) << c.name;
    EXPECT_EQ(boxes[0].text,
              "Are you sure you want to delete your configuration?\nThis action cannot be undone.");
    EXPECT_EQ(boxes[0].title, "Confirm Deletion");
    EXPECT_EQ(boxes[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(boxes[0].icon, MessageIcon::Warning);
    EXPECT_EQ(boxes[0].owner, MessageOwner::None);
    EXPECT_EQ(boxes[1].text, "Configuration reset successfully.");
    EXPECT_EQ(boxes[1].title, "Success");
    EXPECT_EQ(boxes[1].buttons, MessageButtons::Ok);
    EXPECT_EQ(boxes[1].icon, MessageIcon::Information);
    EXPECT_EQ(boxes[1].owner, MessageOwner::None);
  }
}

TEST(ResetConfiguration, AnsweringNoChangesNothing) {
  ConfigSandbox s;
  s.makeLocalConfig(kOldConfiguration);
  s.store.setInt(SettingsFile::Config, "uiSoundVolume", 9);
  const auto tableBefore = s.store.table(SettingsFile::Config).entries;
  const Tree before = s.snapshot();
  s.dialogs.queueAnswer(MessageAnswer::No);
  resetConfiguration(s.context);
  EXPECT_EQ(s.snapshot(), before);
  EXPECT_EQ(s.store.table(SettingsFile::Config).entries, tableBefore);
  EXPECT_TRUE(s.store.table(SettingsFile::Config).dirty);
  EXPECT_EQ(s.boxes().size(), 1u);
  EXPECT_TRUE(s.calls.empty());
}

TEST(ResetConfiguration, LinksInsideAreRemovedAsLinksAndTheProfileStays) {
  ConfigSandbox s;
  s.makeSharedConfig(kOldConfiguration);
  ASSERT_EQ(::symlink(s.outside.c_str(), (s.sharedFolder() + "/characters/linkdir").c_str()), 0);
  ASSERT_EQ(::symlink(s.home.c_str(), (s.sharedFolder() + "/home-link").c_str()), 0);
  ASSERT_EQ(::symlink((s.outside + "/secret.txt").c_str(),
                      (s.sharedFolder() + "/config.kvml-link").c_str()),
            0);
  const Tree others = s.snapshotExcept({s.sharedFolder()});

  resetConfiguration(s.context);

  EXPECT_EQ(snapshotTree(s.sharedFolder()), (Tree{{"config.kvml", "enableAudio: true\n"}}));
  EXPECT_EQ(s.snapshotExcept({s.sharedFolder()}), others);
}

TEST(ResetConfiguration, AnUndeletableFileStaysAndTheRestGoes) {
  ConfigSandbox s;
  s.makeLocalConfig(kOldConfiguration);
  ImmutableGuard locked(s.localFolder() + "/minimap.kvmm");
  if (!locked.ok()) GTEST_SKIP() << "the file system cannot mark files immutable";
  resetConfiguration(s.context);
  EXPECT_EQ(snapshotTree(s.localFolder()),
            (Tree{{"config.kvml", "enableAudio: true\n"}, {"minimap.kvmm", "map"}}));
  EXPECT_TRUE(s.store.isLocalConfig());
}

}  // namespace
}  // namespace kv::settings
