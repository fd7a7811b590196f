#include "settings/config_reset.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "settings/config_placement.h"
#include "support/config_test_sandbox.h"
#include "support/fault_injecting_files.h"

namespace kv::settings {
namespace {

using test::ConfigSandbox;
using kv::test::FaultInjectingFiles;
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

TEST(ResetConfiguration, AFolderLinkedToTheProfileOrAboveIsNeverEmptied) {
  struct Case {
    const char* name;
    bool local;
    std::string (*target)(const ConfigSandbox&);
  };
  const Case cases[] = {
      {"shared folder linked to the profile", false, [](const ConfigSandbox& s) { return s.home; }},
      {"shared folder linked to a folder above the profile", false,
       [](const ConfigSandbox& s) { return s.dir.path(); }},
      {"shared folder linked through a second link", false,
       [](const ConfigSandbox& s) { return s.outside + "/to-home"; }},
      {"own folder linked to the profile", true, [](const ConfigSandbox& s) { return s.home; }},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    ASSERT_EQ(::symlink(s.home.c_str(), (s.outside + "/to-home").c_str()), 0);
    // The profile holds a configuration file, so that both placements
    // resolve to the linked folder.
    writeFile(s.home + "/config.kvml", "musicSoundVolume: 30\n");
    const std::string link = c.local ? s.localFolder() : s.sharedFolder();
    std::filesystem::create_directories(std::filesystem::path(link).parent_path());
    ASSERT_EQ(::symlink(c.target(s).c_str(), link.c_str()), 0) << c.name;
    s.store.setInt(SettingsFile::Config, "uiSoundVolume", 9);  // pending, stays
    const auto tableBefore = s.store.table(SettingsFile::Config).entries;
    const Tree before = s.snapshot();

    resetConfiguration(s.context);

    EXPECT_EQ(s.snapshot(), before) << c.name;
    EXPECT_EQ(s.store.table(SettingsFile::Config).entries, tableBefore) << c.name;
    EXPECT_TRUE(s.calls.empty()) << c.name;
    const auto boxes = s.boxes();
    ASSERT_EQ(boxes.size(), 2u) << c.name;
    EXPECT_EQ(boxes[1].text,
              "Failed to reset the configuration. Nothing was deleted.\nReason: the configuration "
              "folder leads to your profile folder or a folder above it: " +
                  link)
        << c.name;
    EXPECT_EQ(boxes[1].title, "Reset Error") << c.name;
    EXPECT_EQ(boxes[1].buttons, MessageButtons::Ok) << c.name;
    EXPECT_EQ(boxes[1].icon, MessageIcon::Error) << c.name;
    EXPECT_EQ(boxes[1].owner, MessageOwner::None) << c.name;
  }
}

TEST(LeadsToProfileOrAbove, ResolvesLinksAndComparesEachFolderUpToTheRoot) {
  ConfigSandbox s;
  std::filesystem::create_directories(s.sharedFolder());
  const std::string links = s.dir / "links";
  std::filesystem::create_directories(links);
  const auto link = [&](const std::string& name, const std::string& target) {
    const std::string path = links + "/" + name;
    EXPECT_EQ(::symlink(target.c_str(), path.c_str()), 0) << name;
    return path;
  };
  struct Case {
    std::string path;
    std::string profile;
    bool expected;
  };
  const Case cases[] = {
      {s.sharedFolder(), s.home, false},
      {s.home, s.home, true},
      {s.home + "/../home/", s.home, true},
      {s.dir.path(), s.home, true},
      {"/", s.home, true},
      {link("root", "/"), s.home, true},
      {link("profile", s.home), s.home, true},
      {link("above", ".."), s.home, true},
      {link("chain", links + "/profile"), s.home, true},
      {link("shared", s.sharedFolder()), s.home, false},
      {link("sibling", s.outside), s.home, false},
      {s.dir / "missing", s.home, false},
      {link("dangling", s.dir / "missing"), s.home, false},
      // The profile reached through a link of its own.
      {s.home, link("home", s.home), true},
      {"/", "", true},
      {s.home, "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(leadsToProfileOrAbove(c.path, c.profile), c.expected) << c.path << " / " << c.profile;
  }
}

TEST(ResetConfiguration, AnUndeletableFileStaysAndTheRestGoes) {
  ConfigSandbox s;
  s.makeLocalConfig(kOldConfiguration);
  FaultInjectingFiles faults;
  faults.lock(s.localFolder() + "/minimap.kvmm");
  const Tree others = s.snapshotExcept({s.localFolder()});
  resetConfiguration(s.context);
  EXPECT_EQ(snapshotTree(s.localFolder()),
            (Tree{{"config.kvml", "enableAudio: true\n"}, {"minimap.kvmm", "map"}}));
  EXPECT_TRUE(s.store.isLocalConfig());
  EXPECT_EQ(s.snapshotExcept({s.localFolder()}), others);
}

}  // namespace
}  // namespace kv::settings
