#include "settings/config_export.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/config_test_sandbox.h"

namespace kv::settings {
namespace {

using test::ConfigSandbox;
using test::MessageAnswer;
using test::MessageButtons;
using test::MessageIcon;
using test::MessageOwner;
using test::readZip;
using test::snapshotTree;
using test::textsAndTitles;
using test::Tree;
using kv::test::exists;
using kv::test::readFile;
using kv::test::writeFile;

using Boxes = std::vector<std::pair<std::string, std::string>>;

const char* kLoginQuestion = "Do you want to include login data (account/password) in the export?";

// A configuration file as a player's client leaves it: odd spacing, a line
// without a colon, a duplicate key and the stored login.
const std::string kClientConfig =
    "enableAudio : true\n"
    "musicSoundVolume: 40\n"
    "this line has no colon\n"
    "musicSoundVolume: 55\n"
    "account: hero\n"
    "password: s3cret\n"
    "Account: kept\n"
    "accountName: kept too\n";

TEST(ExportConfiguration, ArchiveHoldsTheFolderWithConfigRewrittenFromMemory) {
  struct Case {
    const char* name;
    bool local;
    MessageAnswer login;
    std::string expectedConfig;
  };
  const std::string withoutLogin =
      "Account: kept\naccountName: kepttoo\nenableAudio: true\nmusicSoundVolume: 55\n";
  const std::string withLogin =
      "Account: kept\naccount: hero\naccountName: kepttoo\nenableAudio: true\n"
      "musicSoundVolume: 55\npassword: s3cret\n";
  const Case cases[] = {
      {"own configuration, no login", true, MessageAnswer::No, withoutLogin},
      {"own configuration, with login", true, MessageAnswer::Yes, withLogin},
      {"shared configuration, no login", false, MessageAnswer::No, withoutLogin},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    const Tree files{{"config.kvml", kClientConfig},
                     {"minimap.kvmm", std::string("map\0bytes", 9)},
                     {"characters/hero.kvml", "hero"}};
    if (c.local) {
      s.makeLocalConfig(files);
    } else {
      s.makeSharedConfig(files);
    }
    const std::string folder = c.local ? s.localFolder() : s.sharedFolder();
    ASSERT_EQ(s.store.getInt(SettingsFile::Config, "musicSoundVolume", 0), 55) << c.name;
    const std::string archive = s.dir / "saved/config.zip";
    std::filesystem::create_directories(s.dir / "saved");
    s.dialogs.queueSavePath(archive);
    s.dialogs.queueAnswer(c.login);
    const Tree before = s.snapshotExcept({s.dir / "saved"});

    exportConfiguration(s.context);

    EXPECT_EQ(readZip(archive), (Tree{{"config.kvml", c.expectedConfig},
                                      {"minimap.kvmm", std::string("map\0bytes", 9)},
                                      {"characters/hero.kvml", "hero"}}))
        << c.name;
    EXPECT_EQ(s.snapshotExcept({s.dir / "saved"}), before) << c.name;
    EXPECT_EQ(readFile(folder + "/config.kvml"), kClientConfig) << c.name;
    EXPECT_EQ(s.dialogs.saveDefaults(),
              std::vector<std::string>{"config_eu_20260307_140509.zip"});
    EXPECT_EQ(s.dialogs.saveTitles(), std::vector<std::string>{"Export config zip"});
    EXPECT_EQ(textsAndTitles(s.boxes()),
              (Boxes{{kLoginQuestion, "Include Login Data"},
                     {"Configuration exported successfully.", "Success"}}))
        << c.name;
    const auto boxes = s.boxes();
    EXPECT_EQ(boxes[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(boxes[0].icon, MessageIcon::Question);
    EXPECT_EQ(boxes[1].buttons, MessageButtons::Ok);
    EXPECT_EQ(boxes[1].icon, MessageIcon::Information);
    for (const auto& box : boxes) EXPECT_EQ(box.owner, MessageOwner::MainWindow);
  }
}

TEST(ExportConfiguration, DefaultNameCarriesTheCurrentServer) {
  EXPECT_EQ(defaultExportName("eu", "20260307_140509"), "config_eu_20260307_140509.zip");
  ConfigSandbox s;
  s.serverFolder = "us";
  s.serverIndex = 2;
  s.context.timeStamp = nullptr;  // the machine's clock
  exportConfiguration(s.context);  // cancelled: no path queued
  const auto names = s.dialogs.saveDefaults();
  ASSERT_EQ(names.size(), 1u);
  // config_us_YYYYmmdd_HHMMSS.zip
  ASSERT_EQ(names[0].size(), std::string("config_us_20260307_140509.zip").size()) << names[0];
  EXPECT_EQ(names[0].substr(0, 10), "config_us_");
  EXPECT_EQ(names[0][18], '_');
  EXPECT_EQ(names[0].substr(25), ".zip");
}

TEST(ExportConfiguration, CancelStillSavesPendingChangesAndCreatesNothing) {
  ConfigSandbox s;
  s.makeLocalConfig({{"config.kvml", "musicSoundVolume: 40\n"}});
  s.store.setInt(SettingsFile::Config, "musicSoundVolume", 70);
  const Tree work = snapshotTree(s.work);
  exportConfiguration(s.context);
  EXPECT_EQ(readFile(s.localFolder() + "/config.kvml"), "musicSoundVolume: 70\n");
  EXPECT_FALSE(s.store.table(SettingsFile::Config).dirty);
  EXPECT_EQ(snapshotTree(s.work), work);
  EXPECT_TRUE(s.boxes().empty());
}

TEST(ExportConfiguration, LinksInTheFolderAreNotFollowed) {
  ConfigSandbox s;
  s.makeLocalConfig({{"config.kvml", "enableAudio: true\n"}, {"characters/hero.kvml", "hero"}});
  ASSERT_EQ(::symlink("../../../../outside", (s.localFolder() + "/characters/linkdir").c_str()), 0);
  ASSERT_EQ(::symlink("..", (s.localFolder() + "/loop").c_str()), 0);
  ASSERT_EQ(::symlink((s.outside + "/secret.txt").c_str(), (s.localFolder() + "/secret.txt").c_str()),
            0);
  ASSERT_EQ(readFile(s.localFolder() + "/characters/linkdir/secret.txt"), "secret");
  (void)s.store.getBool("enableAudio");
  const std::string archive = s.dir / "out.zip";
  s.dialogs.queueSavePath(archive);

  exportConfiguration(s.context);

  EXPECT_EQ(readZip(archive), (Tree{{"config.kvml", "enableAudio: true\n"},
                                    {"characters/hero.kvml", "hero"}}));
  EXPECT_EQ(snapshotTree(s.work), (Tree{{"minimap.kvmm", "working minimap"}}));
}

TEST(ExportConfiguration, LeftoverTemporaryFolderIsPassedOverAndAFailedExportKeepsItsOwn) {
  ConfigSandbox s;
  s.makeLocalConfig({{"config.kvml", "enableAudio: true\n"}, {"characters/hero.kvml", "hero"}});
  writeFile(s.work + "/config_export_tmp/old.txt", "leftover");
  // The configuration was never read, so its copy cannot be written.
  s.dialogs.queueSavePath(s.dir / "out.zip");

  exportConfiguration(s.context);

  EXPECT_EQ(textsAndTitles(s.boxes()), (Boxes{{kLoginQuestion, "Include Login Data"},
                                              {"Failed to export config file.", "Export Error"}}));
  EXPECT_EQ(s.boxes()[1].icon, MessageIcon::Error);
  EXPECT_EQ(snapshotTree(s.work + "/config_export_tmp"), (Tree{{"old.txt", "leftover"}}));
  EXPECT_EQ(snapshotTree(s.work + "/config_export_tmp_1"),
            (Tree{{"config.kvml", "enableAudio: true\n"},
                  {"characters", "<dir>"},
                  {"characters/hero.kvml", "hero"}}));
  EXPECT_FALSE(exists(s.dir / "out.zip"));
}

TEST(ExportConfiguration, FailuresAreReportedWithTheirTexts) {
  struct Case {
    const char* name;
    std::function<void(ConfigSandbox&)> arrange;
    std::string archive;  // relative to the sandbox
    std::string expectedText;
    bool temporaryStays;
  };
  const Case cases[] = {
      {"working folder is a file",
       [](ConfigSandbox& s) {
         s.context.workingFolder = s.dir / "work/minimap.kvmm";
       },
       "out.zip", "Failed to create temporary folder for export.", false},
      {"working folder is missing",
       [](ConfigSandbox& s) { s.context.workingFolder = s.dir / "nowhere"; }, "out.zip",
       "Failed to create temporary folder for export.", false},
      {"archive folder is missing", [](ConfigSandbox&) {}, "missing/out.zip",
       "Failed to create ZIP file.", false},
      {"folder nested too deep to copy",
       [](ConfigSandbox& s) {
         std::string deep = s.localFolder();
         for (int i = 0; i < 70; ++i) deep += "/d";
         writeFile(deep + "/x", "x");
       },
       "out.zip", "Failed to copy config folder.\nReason: Too many levels of symbolic links",
       true},
  };
  for (const Case& c : cases) {
    ConfigSandbox s;
    s.makeLocalConfig({{"config.kvml", "enableAudio: true\n"}});
    (void)s.store.getBool("enableAudio");
    c.arrange(s);
    s.dialogs.queueSavePath(s.dir / c.archive);
    exportConfiguration(s.context);
    const auto boxes = s.boxes();
    ASSERT_EQ(boxes.size(), 2u) << c.name;
    EXPECT_EQ(boxes[1].text, c.expectedText) << c.name;
    EXPECT_EQ(boxes[1].title, "Export Error") << c.name;
    EXPECT_EQ(boxes[1].icon, MessageIcon::Error) << c.name;
    EXPECT_EQ(boxes[1].owner, MessageOwner::MainWindow) << c.name;
    EXPECT_EQ(exists(s.work + "/config_export_tmp"), c.temporaryStays) << c.name;
    EXPECT_FALSE(exists(s.dir / c.archive)) << c.name;
    EXPECT_EQ(readFile(s.work + "/minimap.kvmm"), "working minimap") << c.name;
  }
}

}  // namespace
}  // namespace kv::settings
