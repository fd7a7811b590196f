#include "settings/config_import.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "settings/config_export.h"
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
using test::snapshotTree;
using test::textsAndTitles;
using test::Tree;
using test::writeZip;
using test::ZipItem;
using kv::test::exists;
using kv::test::readFile;
using kv::test::writeFile;

using Boxes = std::vector<std::pair<std::string, std::string>>;

const char* kModeText =
    "Do you want to replace your current configuration? If not, the merging process will occur.";
const char* kOverrideText = "Should the imported config override existing one in case of conflict?";
const char* kMinimapText =
    "The imported configuration includes minimap.kvmm.\nDo you want to replace your minimap with "
    "the imported one?";
const std::pair<std::string, std::string> kModeBox{kModeText, "Import Config"};
const std::pair<std::string, std::string> kOverrideBox{kOverrideText, "Merge Config"};
const std::pair<std::string, std::string> kMinimapBox{kMinimapText, "Replace Minimap?"};
const std::pair<std::string, std::string> kDoneBox{"Configuration imported successfully.",
                                                   "Success"};
const std::pair<std::string, std::string> kExtractFailedBox{"Failed to extract ZIP file.",
                                                            "Import Error"};

const Tree kCurrent{{"config.kvml", "musicSoundVolume: 40\nuiSoundVolume: 30\n"},
                    {"only-here.txt", "mine"},
                    {"characters/hero.kvml", "old hero"}};

// An archive as the export writes it.
const std::vector<ZipItem> kExported{{"config.kvml", "musicSoundVolume: 80\nenableUISound: false\n"},
                                     {"characters/hero.kvml", "new hero"},
                                     {"characters/mage.kvml", "mage"}};

const std::vector<std::string> kImportCalls{"loadServerSettings", "refreshUiAfterImport"};

// Runs one import of an archive written from items, with the given answers.
void importArchive(ConfigSandbox& s, const std::vector<ZipItem>& items,
                   const std::vector<MessageAnswer>& answers) {
  const std::string archive = s.dir / "incoming/config.zip";
  std::filesystem::create_directories(s.dir / "incoming");
  writeZip(archive, items);
  s.dialogs.queueOpenPath(archive);
  for (MessageAnswer answer : answers) s.dialogs.queueAnswer(answer);
  importConfiguration(s.context);
}

TEST(ImportConfiguration, ReplaceLeavesExactlyTheArchiveAndACharactersFolder) {
  struct Case {
    const char* name;
    std::vector<ZipItem> items;
    Tree expected;
  };
  const Case cases[] = {
      {"exported archive",
       kExported,
       {{"config.kvml", "musicSoundVolume: 80\nenableUISound: false\n"},
        {"characters", "<dir>"},
        {"characters/hero.kvml", "new hero"},
        {"characters/mage.kvml", "mage"}}},
      {"archive without characters",
       {{"config.kvml", "enableAudio: false\n"}},
       {{"config.kvml", "enableAudio: false\n"}, {"characters", "<dir>"}}},
      {"archive made with zip -r (folder entry first)",
       {{"characters/", ""}, {"characters/hero.kvml", "new hero"}, {"config.kvml", "musicSoundVolume: 80\n"}},
       {{"config.kvml", "musicSoundVolume: 80\n"}, {"characters", "<dir>"}, {"characters/hero.kvml", "new hero"}}},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    s.store.setInt(SettingsFile::Config, "uiSoundVolume", 5);  // pending, dropped
    const Tree others = s.snapshotExcept({s.localFolder(), s.dir / "incoming"});

    importArchive(s, c.items, {MessageAnswer::Yes});

    EXPECT_EQ(snapshotTree(s.localFolder()), c.expected) << c.name;
    EXPECT_EQ(s.snapshotExcept({s.localFolder(), s.dir / "incoming"}), others) << c.name;
    EXPECT_EQ(textsAndTitles(s.boxes()), (Boxes{kModeBox, kDoneBox})) << c.name;
    EXPECT_EQ(s.calls, kImportCalls) << c.name;
    // The table was emptied and read from the new file.
    EXPECT_EQ(s.store.getInt(SettingsFile::Config, "uiSoundVolume", 100), 100) << c.name;
  }
}

TEST(ImportConfiguration, BoxesHaveNoOwnerAndTheirButtonsAndIcons) {
  ConfigSandbox s;
  s.makeLocalConfig(kCurrent);
  std::vector<ZipItem> items = kExported;
  items.push_back({"minimap.kvmm", "imported map"});
  importArchive(s, items, {MessageAnswer::No, MessageAnswer::No, MessageAnswer::No});
  const auto boxes = s.boxes();
  ASSERT_EQ(textsAndTitles(boxes), (Boxes{kModeBox, kOverrideBox, kMinimapBox, kDoneBox}));
  const std::vector<MessageButtons> buttons{MessageButtons::YesNoCancel, MessageButtons::YesNo,
                                            MessageButtons::YesNo, MessageButtons::Ok};
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(boxes[i].owner, MessageOwner::None) << i;
    EXPECT_EQ(boxes[i].buttons, buttons[i]) << i;
    EXPECT_EQ(boxes[i].icon, i + 1 < boxes.size() ? MessageIcon::Question : MessageIcon::Information)
        << i;
  }
  EXPECT_EQ(s.dialogs.openTitles(), std::vector<std::string>{"Select config zip"});
}

TEST(ImportConfiguration, ReplaceWithoutConfigFileFallsBackToTheSharedConfiguration) {
  ConfigSandbox s;
  s.makeLocalConfig(kCurrent);
  s.makeSharedConfig({{"config.kvml", "musicSoundVolume: 12\n"}});
  ASSERT_TRUE(s.store.isLocalConfig());
  const Tree others = s.snapshotExcept({s.localFolder(), s.dir / "incoming"});
  importArchive(s, {{"characters/hero.kvml", "new hero"}}, {MessageAnswer::Yes});
  EXPECT_EQ(snapshotTree(s.localFolder()),
            (Tree{{"characters", "<dir>"}, {"characters/hero.kvml", "new hero"}}));
  EXPECT_EQ(s.snapshotExcept({s.localFolder(), s.dir / "incoming"}), others);
  EXPECT_FALSE(s.store.isLocalConfig());
  EXPECT_EQ(s.store.getInt(SettingsFile::Config, "musicSoundVolume", 100), 12);
}

TEST(ImportConfiguration, MergeWithAndWithoutOverride) {
  struct Case {
    const char* name;
    MessageAnswer override;
    Tree expected;
    int musicVolume;  // after the reload
    int uiVolume;
  };
  const Case cases[] = {
      {"without override",
       MessageAnswer::No,
       {{"config.kvml", "musicSoundVolume: 40\nuiSoundVolume: 30\n"},
        {"only-here.txt", "mine"},
        {"characters", "<dir>"},
        {"characters/hero.kvml", "old hero"},
        {"characters/mage.kvml", "mage"}},
       40,
       30},
      {"with override",
       MessageAnswer::Yes,
       {{"config.kvml", "musicSoundVolume: 80\nenableUISound: false\n"},
        {"only-here.txt", "mine"},
        {"characters", "<dir>"},
        {"characters/hero.kvml", "new hero"},
        {"characters/mage.kvml", "mage"}},
       80,
       100},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    ASSERT_EQ(s.store.getInt(SettingsFile::Config, "uiSoundVolume", 100), 30);
    const Tree others = s.snapshotExcept({s.localFolder(), s.dir / "incoming"});
    importArchive(s, kExported, {MessageAnswer::No, c.override});
    EXPECT_EQ(snapshotTree(s.localFolder()), c.expected) << c.name;
    EXPECT_EQ(s.snapshotExcept({s.localFolder(), s.dir / "incoming"}), others) << c.name;
    EXPECT_EQ(textsAndTitles(s.boxes()), (Boxes{kModeBox, kOverrideBox, kDoneBox})) << c.name;
    EXPECT_EQ(s.store.getInt(SettingsFile::Config, "musicSoundVolume", 100), c.musicVolume)
        << c.name;
    EXPECT_EQ(s.store.getInt(SettingsFile::Config, "uiSoundVolume", 100), c.uiVolume) << c.name;
    EXPECT_EQ(s.calls, kImportCalls) << c.name;
  }
}

TEST(ImportConfiguration, MergeWithoutOverrideKeepsMemoryAndWritesPendingChanges) {
  ConfigSandbox s;
  s.makeLocalConfig({{"config.kvml", "musicSoundVolume: 40\n"}});
  s.store.setInt(SettingsFile::Config, "musicSoundVolume", 60);  // pending
  // The folder's file gains a key while the launcher runs.
  writeFile(s.localFolder() + "/config.kvml", "musicSoundVolume: 40\nuiSoundVolume: 25\n");
  const Tree others = s.snapshotExcept({s.localFolder(), s.dir / "incoming"});
  importArchive(s, kExported, {MessageAnswer::No, MessageAnswer::No});
  EXPECT_EQ(s.snapshotExcept({s.localFolder(), s.dir / "incoming"}), others);
  EXPECT_EQ(s.store.getInt(SettingsFile::Config, "musicSoundVolume", 100), 60);
  EXPECT_EQ(s.store.getInt(SettingsFile::Config, "uiSoundVolume", 100), 25);
  EXPECT_EQ(readFile(s.localFolder() + "/config.kvml"),
            "musicSoundVolume: 60\nuiSoundVolume: 25\n");
}

TEST(ImportConfiguration, MinimapQuestion) {
  struct Case {
    const char* name;
    std::vector<ZipItem> items;
    std::vector<MessageAnswer> answers;
    std::string expectedWorkingMinimap;
    Boxes expectedBoxes;
  };
  const Case cases[] = {
      {"root minimap, yes",
       {{"config.kvml", "enableAudio: true\n"}, {"minimap.kvmm", "imported map"}},
       {MessageAnswer::Yes, MessageAnswer::Yes},
       "imported map",
       {kModeBox, kMinimapBox, kDoneBox}},
      {"root minimap, no",
       {{"config.kvml", "enableAudio: true\n"}, {"minimap.kvmm", "imported map"}},
       {MessageAnswer::Yes, MessageAnswer::No},
       "working minimap",
       {kModeBox, kMinimapBox, kDoneBox}},
      {"root and characters minimap: asked once, the root one",
       {{"characters/minimap.kvmm", "character map"}, {"minimap.kvmm", "imported map"}},
       {MessageAnswer::Yes, MessageAnswer::Yes},
       "imported map",
       {kModeBox, kMinimapBox, kDoneBox}},
      {"only in characters",
       {{"characters/minimap.kvmm", "character map"}},
       {MessageAnswer::No, MessageAnswer::No, MessageAnswer::Yes},
       "character map",
       {kModeBox, kOverrideBox, kMinimapBox, kDoneBox}},
      {"no minimap", kExported, {MessageAnswer::Yes}, "working minimap", {kModeBox, kDoneBox}},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    // A replace without config.kvml falls back to the shared configuration,
    // which must then be read, not changed.
    s.makeSharedConfig({{"config.kvml", "musicSoundVolume: 12\n"}});
    const Tree others = s.snapshotExcept({s.localFolder(), s.work, s.dir / "incoming"});
    importArchive(s, c.items, c.answers);
    EXPECT_EQ(textsAndTitles(s.boxes()), c.expectedBoxes) << c.name;
    EXPECT_EQ(snapshotTree(s.work), (Tree{{"minimap.kvmm", c.expectedWorkingMinimap}})) << c.name;
    EXPECT_EQ(s.snapshotExcept({s.localFolder(), s.work, s.dir / "incoming"}), others) << c.name;
  }
}

TEST(ImportConfiguration, MinimapLinkInTheWorkingFolderIsReplacedNotWrittenThrough) {
  ConfigSandbox s;
  s.makeLocalConfig(kCurrent);
  std::filesystem::remove(s.work + "/minimap.kvmm");
  ASSERT_EQ(::symlink((s.outside + "/canary.bin").c_str(), (s.work + "/minimap.kvmm").c_str()), 0);
  const Tree outside = snapshotTree(s.outside);
  importArchive(s, {{"minimap.kvmm", "imported map"}}, {MessageAnswer::Yes, MessageAnswer::Yes});
  EXPECT_EQ(snapshotTree(s.work), (Tree{{"minimap.kvmm", "imported map"}}));
  EXPECT_EQ(snapshotTree(s.outside), outside);
}

TEST(ImportConfiguration, CancelsEndWithoutTraces) {
  struct Case {
    const char* name;
    std::optional<std::string> openPath;  // relative to the sandbox
    std::vector<MessageAnswer> answers;
    Boxes expectedBoxes;
  };
  const Case cases[] = {
      {"dialog cancelled", std::nullopt, {}, {}},
      {"chosen file does not exist", "incoming/gone.zip", {}, {}},
      {"chosen path is a folder", "incoming", {}, {}},
      {"cancel in the mode question", "incoming/config.zip", {MessageAnswer::Cancel}, {kModeBox}},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    std::filesystem::create_directories(s.dir / "incoming");
    writeZip(s.dir / "incoming/config.zip", kExported);
    const Tree before = s.snapshot();
    if (c.openPath) s.dialogs.queueOpenPath(s.dir / *c.openPath);
    for (MessageAnswer answer : c.answers) s.dialogs.queueAnswer(answer);
    importConfiguration(s.context);
    EXPECT_EQ(s.snapshot(), before) << c.name;
    EXPECT_EQ(textsAndTitles(s.boxes()), c.expectedBoxes) << c.name;
    EXPECT_TRUE(s.calls.empty()) << c.name;
  }
}

TEST(ImportConfiguration, ExtractionFailuresKeepTheTemporaryFolderAndTheConfiguration) {
  struct Case {
    const char* name;
    std::vector<ZipItem> items;
  };
  const Case cases[] = {
      {"file deeper inside characters",
       {{"config.kvml", "x: 1\n"}, {"characters/sub/deeper.kvml", "deep"}}},
      {"file in another folder", {{"other/x.kvml", "x"}}},
      {"folder entry", {{"sub/", ""}}},
      {"folder entry inside characters", {{"characters/", ""}, {"characters/sub/", ""}}},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    const Tree others = s.snapshotExcept({s.work, s.dir / "incoming"});
    importArchive(s, c.items, {});
    EXPECT_EQ(textsAndTitles(s.boxes()), Boxes{kExtractFailedBox}) << c.name;
    EXPECT_EQ(s.boxes()[0].icon, MessageIcon::Error) << c.name;
    EXPECT_EQ(s.snapshotExcept({s.work, s.dir / "incoming"}), others) << c.name;
    EXPECT_TRUE(exists(s.work + "/config_import_tmp/characters")) << c.name;
    EXPECT_EQ(readFile(s.work + "/minimap.kvmm"), "working minimap") << c.name;

    // The next import passes the leftover by.
    importArchive(s, {{"characters/x.kvml", "x"}, {"other/y", "y"}}, {});
    EXPECT_TRUE(exists(s.work + "/config_import_tmp_1/characters")) << c.name;
  }
}

TEST(ImportConfiguration, TemporaryFolderProblems) {
  struct Case {
    const char* name;
    std::function<void(ConfigSandbox&)> arrange;
    Boxes expectedBoxes;
  };
  const Case cases[] = {
      {"a file named like the temporary folder",
       [](ConfigSandbox& s) { writeFile(s.work + "/config_import_tmp", "file"); },
       {kModeBox, kDoneBox}},
      {"working folder missing",
       [](ConfigSandbox& s) { s.context.workingFolder = s.dir / "nowhere"; },
       {{"Failed to create temporary folder for import.", "Import Error"}}},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    c.arrange(s);
    const Tree work = snapshotTree(s.work);
    importArchive(s, kExported, {MessageAnswer::Yes});
    EXPECT_EQ(textsAndTitles(s.boxes()), c.expectedBoxes) << c.name;
    EXPECT_EQ(snapshotTree(s.work), work) << c.name;
  }
}

TEST(ImportConfiguration, AnImmutableLeftoverIsPassedOver) {
  ConfigSandbox s;
  s.makeLocalConfig(kCurrent);
  const std::string work = s.dir / "locked-work";
  std::filesystem::create_directories(work + "/config_import_tmp");
  FaultInjectingFiles faults;
  faults.lock(work + "/config_import_tmp");
  s.context.workingFolder = work;
  importArchive(s, kExported, {MessageAnswer::Yes});
  EXPECT_EQ(textsAndTitles(s.boxes()), (Boxes{kModeBox, kDoneBox}));
  EXPECT_EQ(snapshotTree(work), (Tree{{"config_import_tmp", "<dir>"}}));
}

TEST(ImportConfiguration, HostileEntriesWriteNothingOutside) {
  struct Case {
    const char* name;
    std::vector<ZipItem> items;
  };
  const Case cases[] = {
      {"parent references", {{"config.kvml", "a: 1\n"}, {"../../outside/evil.txt", "evil"}}},
      {"absolute name", {{"/tmp/kv-evil-absolute.txt", "evil"}}},
      {"backslash name", {{"..\\..\\outside\\evil.txt", "evil"}}},
      {"link entry", {{"link", "../../outside", true}, {"config.kvml", "a: 1\n"}}},
      {"link entry then a file through it",
       {{"characters", "../outside", true}, {"characters/evil.txt", "evil"}}},
      {"link to a file then data for it",
       {{"minimap.kvmm", "../../outside/canary.bin", true}}},
      {"code page 437 names",
       {{"config.kvml", "a: 1\n"}, {"characters/\x92r\x9B.kvml", "x", false, true},
        {"\x2E\x2E\x2F\xE1.kvml", "y", false, true}}},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    // A replace without "config.kvml" falls back to the shared folder,
    // which is then made with the default file.
    const std::vector<std::string> allowed{s.localFolder(), s.sharedFolder(), s.work,
                                           s.dir / "incoming"};
    const Tree others = s.snapshotExcept(allowed);
    importArchive(s, c.items, {MessageAnswer::Yes, MessageAnswer::Yes});
    EXPECT_EQ(s.snapshotExcept(allowed), others) << c.name;
    EXPECT_FALSE(exists("/tmp/kv-evil-absolute.txt")) << c.name;
    for (const auto& [path, content] : snapshotTree(s.dir.path())) {
      if (path.rfind("install/", 0) == 0 || path.rfind("work/", 0) == 0) {
        EXPECT_NE(content.substr(0, 3), "-> ") << c.name << ": " << path;
      }
      EXPECT_EQ(path.find('\\'), std::string::npos) << c.name << ": " << path;
    }
    // The working folder holds at most its minimap and a failed extraction's
    // temporary folder.
    for (const auto& [path, content] : snapshotTree(s.work)) {
      EXPECT_TRUE(path == "minimap.kvmm" || path.rfind("config_import_tmp", 0) == 0)
          << c.name << ": " << path;
    }
  }
}

TEST(ImportConfiguration, OversizedArchivesAreRefusedBeforeReachingTheConfiguration) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> write;
  };
  const Case cases[] = {
      {"inflates beyond the limit",
       [](const std::string& path) {
         writeZip(path, {{"config.kvml", "a: 1\n"},
                         {"minimap.kvmm", std::string(65u * 1024 * 1024, '\0')}});
       }},
      {"too many entries",
       [](const std::string& path) {
         std::vector<ZipItem> items;
         for (int i = 0; i <= 10000; ++i) items.push_back({"f" + std::to_string(i), ""});
         writeZip(path, items);
       }},
      {"archive file too large",
       [](const std::string& path) { writeFile(path, std::string(65u * 1024 * 1024, 'x')); }},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    const std::string archive = s.dir / "big.zip";
    c.write(archive);
    const Tree before = s.snapshotExcept({archive});
    s.dialogs.queueOpenPath(archive);
    importConfiguration(s.context);
    EXPECT_EQ(textsAndTitles(s.boxes()), Boxes{kExtractFailedBox}) << c.name;
    EXPECT_EQ(s.snapshotExcept({archive}), before) << c.name;
  }
}

TEST(ImportConfiguration, FailedReplaceKeepsThePreviousConfiguration) {
  struct Case {
    const char* name;
    std::string lockedRelative;  // below the server folder
    bool replaced;
  };
  const Case cases[] = {
      {"server folder cannot take a new folder", "", false},
      {"configuration folder cannot be moved", "config", false},
      {"a file of the old configuration cannot be removed", "config/only-here.txt", true},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig(kCurrent);
    const std::string server = s.install + "/eu";
    const Tree before = s.snapshotExcept({s.dir / "incoming"});
    const std::string lockedPath = c.lockedRelative.empty() ? server : server + "/" + c.lockedRelative;
    {
      FaultInjectingFiles faults;
      faults.lock(lockedPath);
      importArchive(s, kExported, {MessageAnswer::Yes});
    }
    if (c.replaced) {
      // The locked file moved with its folder.
      EXPECT_EQ(textsAndTitles(s.boxes()), (Boxes{kModeBox, kDoneBox})) << c.name;
      EXPECT_EQ(readFile(s.localFolder() + "/characters/mage.kvml"), "mage") << c.name;
      // What could not be removed stays beside the configuration.
      EXPECT_EQ(snapshotTree(server + "/config.replaced"), (Tree{{"only-here.txt", "mine"}}))
          << c.name;
      continue;
    }
    const auto boxes = s.boxes();
    ASSERT_EQ(boxes.size(), 2u) << c.name;
    EXPECT_EQ(boxes[1].title, "Import Error") << c.name;
    EXPECT_EQ(boxes[1].icon, MessageIcon::Error) << c.name;
    EXPECT_EQ(boxes[1].text.rfind(
                  "Failed to replace the configuration. Your previous configuration was kept.\n"
                  "Reason: ",
                  0),
              0u)
        << c.name << ": " << boxes[1].text;
    EXPECT_EQ(s.snapshotExcept({s.dir / "incoming"}), before) << c.name;
    EXPECT_TRUE(s.calls.empty()) << c.name;
  }
}

TEST(ReplaceConfigFolder, AFailedCopyLeavesNothingBehind) {
  ConfigSandbox s;
  s.makeLocalConfig(kCurrent);
  std::string deep = s.dir / "source";
  for (int i = 0; i < 70; ++i) deep += "/d";
  writeFile(deep + "/x", "x");
  writeFile(s.dir / "source/config.kvml", "new");
  const Tree before = s.snapshotExcept({s.dir / "source"});
  std::string reason;
  EXPECT_FALSE(replaceConfigFolder(s.localFolder(), s.dir / "source", reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(s.snapshotExcept({s.dir / "source"}), before);
}

TEST(ReplaceConfigFolder, RefusesFoldersThatAreNoConfiguration) {
  ConfigSandbox s;
  writeFile(s.dir / "source/config.kvml", "new");
  const Tree before = s.snapshot();
  std::string reason;
  for (const std::string& target : {s.home, s.dir.path(), std::string("/"), std::string()}) {
    EXPECT_FALSE(replaceConfigFolder(target, s.dir / "source", reason)) << target;
  }
  EXPECT_EQ(s.snapshot(), before);
}

TEST(ImportConfiguration, ReplaceSwapsALinkedFolderWithoutDeletingThroughIt) {
  ConfigSandbox s;
  writeFile(s.home + "/config.kvml", "musicSoundVolume: 30\n");
  ASSERT_EQ(::symlink(s.home.c_str(), s.sharedFolder().c_str()), 0);
  const Tree before = s.snapshotExcept({s.sharedFolder(), s.dir / "incoming"});
  importArchive(s, kExported, {MessageAnswer::Yes});
  EXPECT_EQ(textsAndTitles(s.boxes()), (Boxes{kModeBox, kDoneBox}));
  EXPECT_EQ(s.snapshotExcept({s.sharedFolder(), s.dir / "incoming"}), before);
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::symlink_status(s.sharedFolder())));
  EXPECT_EQ(readFile(s.sharedFolder() + "/characters/mage.kvml"), "mage");
}

TEST(ImportConfiguration, ALinkInTheConfigurationIsNotFollowedByAMerge) {
  ConfigSandbox s;
  s.makeLocalConfig({{"config.kvml", "a: 1\n"}});
  ASSERT_EQ(::symlink(s.outside.c_str(), (s.localFolder() + "/characters").c_str()), 0);
  const Tree outside = snapshotTree(s.outside);
  importArchive(s, {{"characters/secret.txt", "overwritten"}, {"characters/new.txt", "new"}},
                {MessageAnswer::No, MessageAnswer::Yes});
  EXPECT_EQ(snapshotTree(s.outside), outside);
  EXPECT_EQ(textsAndTitles(s.boxes()), (Boxes{kModeBox, kOverrideBox, kDoneBox}));
}

TEST(ExportThenImport, NonAsciiNamesRoundTrip) {
  ConfigSandbox s;
  const Tree files{{"config.kvml", "enableAudio: true\n"},
                   {"characters/\xC3\x86r\xC3\xB8.kvml", "\xC3\x86r\xC3\xB8"},
                   {"characters/\xE6\x97\xA5\xE6\x9C\xAC.kvml", std::string("\0\xFF", 2)},
                   {"minimap.kvmm", "map"}};
  s.makeSharedConfig(files);
  (void)s.store.getBool("enableAudio");
  const std::string archive = s.dir / "round.zip";
  s.dialogs.queueSavePath(archive);
  exportConfiguration(s.context);
  const Tree exported = snapshotTree(s.sharedFolder());

  // Replace the configuration with something else, then bring it back.
  writeFile(s.sharedFolder() + "/characters/other.kvml", "other");
  s.dialogs.queueOpenPath(archive);
  s.dialogs.queueAnswer(MessageAnswer::Yes);  // replace
  s.dialogs.queueAnswer(MessageAnswer::No);   // keep the working minimap
  importConfiguration(s.context);
  EXPECT_EQ(snapshotTree(s.sharedFolder()), exported);
  EXPECT_EQ(textsAndTitles(s.boxes()).back(), kDoneBox);
}

}  // namespace
}  // namespace kv::settings
