#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/path_text.h"
#include "support/fault_injecting_files.h"
#include "support/temp_dir.h"

namespace kv::settings {
namespace {

using platform::FileFault;
using platform::FileOperation;
using test::FaultInjectingFiles;
using test::readFile;
using test::TempDir;
using test::writeFile;

// A store whose executable folder and profile folder live in a fresh
// temporary folder.
struct StoreFixture {
  TempDir dir;
  std::string server = "eu";
  std::vector<std::string> logged;
  SettingsStore store{SettingsLocations{dir / "exe", dir / "home", [this] { return server; },
                                        [this](const std::string& line) { logged.push_back(line); }}};

  StoreFixture() {
    writeFile(dir / "exe/.keep", "");
    writeFile(dir / "home/.keep", "");
  }
  std::string localConfig() const { return dir / ("exe/" + server + "/config/config.kvml"); }
  std::string sharedConfig() const { return dir / "home/vandrel/config.kvml"; }
  std::string systemFile() const { return dir / "exe/system.kvml"; }
};

TEST(SettingsLine, ParsingRules) {
  struct Case {
    std::string line;
    bool parsed;
    std::string key;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"key:value", true, "key", "value"},
      {"key: value", true, "key", "value"},
      {" key : value ", true, "key", "value"},
      {"key: a b", true, "key", "ab"},
      {"a: b:c", true, "a", "b:c"},
      {"music Sound Volume : 5 0", true, "musicSoundVolume", "50"},
      {"\tindented: 1\r", true, "indented", "1"},
      {"empty:", true, "empty", ""},
      {": novalue", true, "", "novalue"},
      {"no colon here", false, "", ""},
      {"\xEF\xBB\xBF" "enableAudio: false", true, "\xEF\xBB\xBF" "enableAudio", "false"},
      {"k\v\f: v\xC2\xA0", true, "k", "v\xC2\xA0"},  // bytes >= 0x80 are not whitespace
  };
  for (const Case& c : cases) {
    std::string key, value;
    EXPECT_EQ(parseSettingsLine(c.line, key, value), c.parsed) << c.line;
    if (c.parsed) {
      EXPECT_EQ(key, c.key) << c.line;
      EXPECT_EQ(value, c.value) << c.line;
    }
  }
}

TEST(SettingsInt, ConversionRules) {
  struct Case {
    std::string text;
    int expected;
  };
  const std::vector<Case> cases = {
      {"007", 7},          {"-5", -5},         {"0x1F", 0},          {"abc", -1},
      {"12abc", 12},       {"99999999999", -1}, {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN}, {"2147483648", -1}, {"", -1}, {"+3", 3}, {"-", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(parseIntOr(c.text, -1), c.expected) << c.text;
}

TEST(SettingsStore, LoadsWithLaterDuplicateWinningAndDropsLinesWithoutColon) {
  StoreFixture f;
  writeFile(f.localConfig(), "a: 1\nnot a pair\na: 2\n  nested: x\nlast:\n");
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "a"), "2");
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "nested"), "x");
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "last"), "");
  f.store.setString(SettingsFile::Config, "b", "3");
  f.store.saveSettings(SettingsFile::Config);
  EXPECT_EQ(readFile(f.localConfig()), "a: 2\nb: 3\nlast: \nnested: x\n");
}

TEST(SettingsStore, ReloadKeepingMemoryLetsMemoryAndEarlierLinesWin) {
  StoreFixture f;
  writeFile(f.localConfig(), "a: 1\na: 2\nb: file\n");
  f.store.setString(SettingsFile::Config, "b", "memory");
  f.store.unload(SettingsFile::Config, false);
  f.store.unload(SettingsFile::Config, false);
  // Drop a, keep b in memory, then reload keeping memory.
  f.store.unload(SettingsFile::Config, true);
  f.store.reloadConfigKeepingMemory();
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "a"), "1");
  f.store.setString(SettingsFile::Config, "b", "memory");
  f.store.unload(SettingsFile::Config, false);
  f.store.reloadConfigKeepingMemory();
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "b"), "memory");
  // Loaded already: nothing is read.
  writeFile(f.localConfig(), "c: 1\n");
  f.store.reloadConfigKeepingMemory();
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "c"), "");
}

TEST(SettingsStore, BomKeepsFirstKeyUnrecognised) {
  StoreFixture f;
  writeFile(f.localConfig(), "\xEF\xBB\xBF" "enableAudio: false\nenableUISound: false\n");
  EXPECT_TRUE(f.store.getBool("enableAudio"));
  EXPECT_FALSE(f.store.getBool("enableUISound"));
}

TEST(SettingsStore, TypedAccessDefaultsAndTexts) {
  StoreFixture f;
  writeFile(f.localConfig(), "t: true\nT: TRUE\none: 1\nvol: 5 0\nbad: x1\n");
  EXPECT_TRUE(f.store.getBool("t"));
  EXPECT_FALSE(f.store.getBool("T"));
  EXPECT_FALSE(f.store.getBool("one"));
  EXPECT_TRUE(f.store.getBool("missing"));
  EXPECT_EQ(f.store.getInt(SettingsFile::Config, "vol", 100), 50);
  EXPECT_EQ(f.store.getInt(SettingsFile::Config, "bad", 100), 100);
  EXPECT_EQ(f.store.getInt(SettingsFile::Config, "missing", 77), 77);
  f.store.setInt(SettingsFile::Config, "n", -12);
  f.store.setBool("flag", false);
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "n"), "-12");
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "flag"), "false");
  EXPECT_TRUE(f.store.table(SettingsFile::Config).dirty);
}

TEST(SettingsStore, EmptyConfigGivesDefaults) {
  StoreFixture f;
  writeFile(f.localConfig(), "");
  EXPECT_TRUE(f.store.getBool("enableMusicSound"));
  EXPECT_EQ(f.store.getInt(SettingsFile::Config, "musicSoundVolume", 100), 100);
}

TEST(SettingsStore, UnchangedFileIsNeverRewritten) {
  StoreFixture f;
  const std::string original = "b :  2\r\na:1\n\nno colon\n";
  writeFile(f.localConfig(), original);
  EXPECT_EQ(f.store.getString(SettingsFile::Config, "a"), "1");
  f.store.saveAllSettings();
  EXPECT_EQ(readFile(f.localConfig()), original);
  EXPECT_FALSE(test::exists(f.systemFile()));  // System was never loaded
}

TEST(SettingsStore, SharedConfigIsCreatedWithDefaultContent) {
  StoreFixture f;
  EXPECT_EQ(f.store.resolveSettingsPath(SettingsFile::Config, true), f.dir / "home/vandrel");
  EXPECT_EQ(readFile(f.sharedConfig()), "enableAudio: true\n");
  EXPECT_FALSE(f.store.isLocalConfig());
  EXPECT_FALSE(test::exists(f.dir / "exe/eu/config"));  // never created by resolving
  // An existing shared file is left alone.
  writeFile(f.sharedConfig(), "enableAudio: false\n");
  EXPECT_EQ(f.store.resolveSettingsPath(SettingsFile::Config, false), f.sharedConfig());
  EXPECT_EQ(readFile(f.sharedConfig()), "enableAudio: false\n");
}

TEST(SettingsStore, WithoutAProfileFolderTheSharedConfigLivesBesideTheLauncher) {
  TempDir dir;
  writeFile(dir / "exe/.keep", "");
  const bool atRoot = test::exists("/vandrel");
  SettingsStore store{SettingsLocations{dir / "exe", "", [] { return std::string("eu"); }}};
  EXPECT_EQ(store.resolveSettingsPath(SettingsFile::Config, true), dir / "exe/vandrel");
  EXPECT_EQ(readFile(dir / "exe/vandrel/config.kvml"), "enableAudio: true\n");
  EXPECT_EQ(test::exists("/vandrel"), atRoot);
}

TEST(SettingsStore, LocalConfigFollowsTheCurrentServer) {
  StoreFixture f;
  writeFile(f.localConfig(), "k: eu\n");
  EXPECT_TRUE(f.store.isLocalConfig());
  EXPECT_EQ(f.store.resolveSettingsPath(SettingsFile::Config, true), f.dir / "exe/eu/config");
  f.server = "us";
  EXPECT_FALSE(f.store.isLocalConfig());
  // A folder named config.kvml is not a configuration file.
  writeFile(f.dir / "exe/us/config/config.kvml/inner", "");
  EXPECT_FALSE(f.store.isLocalConfig());
}

TEST(SettingsStore, SystemPathIgnoresFolderOnly) {
  StoreFixture f;
  EXPECT_EQ(f.store.resolveSettingsPath(SettingsFile::System, true), f.systemFile());
  EXPECT_EQ(f.store.getInt(SettingsFile::System, "server", 2), 2);
  f.store.setInt(SettingsFile::System, "server", 1);
  f.store.saveSettings(SettingsFile::System);
  EXPECT_EQ(readFile(f.systemFile()), "server: 1\n");
}

TEST(SettingsStore, WriteConfigCopyLeavesOutExactlyTheLoginKeys) {
  StoreFixture f;
  writeFile(f.localConfig(), "account: me\npassword: pw\nAccount: A\naccountName: n\nx: 1\n");
  EXPECT_FALSE(f.store.writeConfigCopy(f.dir / "copy.kvml", false));  // not loaded yet
  f.store.loadSettings(SettingsFile::Config);
  ASSERT_TRUE(f.store.writeConfigCopy(f.dir / "copy.kvml", false));
  EXPECT_EQ(readFile(f.dir / "copy.kvml"), "Account: A\naccountName: n\nx: 1\n");
  ASSERT_TRUE(f.store.writeConfigCopy(f.dir / "full.kvml", true));
  EXPECT_EQ(readFile(f.dir / "full.kvml"),
            "Account: A\naccount: me\naccountName: n\npassword: pw\nx: 1\n");
  EXPECT_FALSE(f.store.writeConfigCopy(f.dir / "missing/dir/copy.kvml", true));
  EXPECT_FALSE(f.store.table(SettingsFile::Config).dirty);
}

TEST(SettingsStore, UnwritableFileLosesChangesSilently) {
  StoreFixture f;
  writeFile(f.localConfig(), "a: 1\n");
  f.store.setString(SettingsFile::Config, "a", "2");
  std::filesystem::remove(f.localConfig());
  std::filesystem::create_directory(f.localConfig());  // now a folder: cannot be opened for writing
  f.store.saveSettings(SettingsFile::Config);
  EXPECT_FALSE(f.store.table(SettingsFile::Config).dirty);
}

TEST(SettingsStore, DiskFailuresLoseOnlyTheUnsavedChange) {
  for (const FileOperation failing : {FileOperation::Create, FileOperation::Write, FileOperation::Close}) {
    StoreFixture f;
    writeFile(f.localConfig(), "a: 1\n");
    f.store.setString(SettingsFile::Config, "a", "2");
    FaultInjectingFiles faults;
    faults.failFrom(failing, 1, FileFault::DiskFull);
    EXPECT_FALSE(f.store.writeConfigCopy(f.dir / "copy.kvml", true)) << static_cast<int>(failing);
    f.store.saveSettings(SettingsFile::Config);
    EXPECT_FALSE(f.store.table(SettingsFile::Config).dirty);
    EXPECT_EQ(readFile(f.localConfig()), "a: 1\n");
  }
  // A file that cannot be read gives the defaults; a shared file that cannot
  // be made is not there, and its defaults hold.
  StoreFixture f;
  writeFile(f.localConfig(), "enableAudio: false\n");
  FaultInjectingFiles faults;
  faults.failNth(FileOperation::Open, 1, FileFault::IoError);
  EXPECT_TRUE(f.store.getBool("enableAudio"));
  StoreFixture shared;
  faults.failFrom(FileOperation::Create, 1, FileFault::Denied, "config.kvml");
  EXPECT_EQ(shared.store.resolveSettingsPath(SettingsFile::Config, false), shared.sharedConfig());
  EXPECT_FALSE(test::exists(shared.sharedConfig()));
  EXPECT_TRUE(shared.store.getBool("enableAudio"));
}

// A save cut short at any step (a full disk, a failing device) leaves the
// old file whole beside no stray temporary, and says so in the log; the
// next save that goes through writes the new file whole.
TEST(SettingsStore, SaveCutAtAnyStepKeepsTheOldFileWhole) {
  struct Case {
    FileOperation failing;
    FileFault fault;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {FileOperation::Create, FileFault::Denied, "Operation not permitted"},
      {FileOperation::Write, FileFault::DiskFull, "No space left on device"},
      {FileOperation::Flush, FileFault::IoError, "Input/output error"},
      {FileOperation::Close, FileFault::DiskFull, "No space left on device"},
      {FileOperation::Rename, FileFault::IoError, "Input/output error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.failing));
    for (const SettingsFile file : {SettingsFile::Config, SettingsFile::System}) {
      StoreFixture f;
      const std::string path = file == SettingsFile::Config ? f.localConfig() : f.systemFile();
      const std::string old = "a: 1\nlong: " + std::string(5000, 'x') + "\n";
      writeFile(path, old);
      f.store.setString(file, "a", "2");
      {
        FaultInjectingFiles faults;
        faults.failNth(c.failing, 1, c.fault);
        f.store.saveSettings(file);
      }
      EXPECT_EQ(readFile(path), old);
      std::vector<std::string> names;
      for (const auto& entry : std::filesystem::directory_iterator(folderOf(path))) {
        if (entry.path().filename().string().rfind(fileNamePart(path), 0) == 0) {
          names.push_back(entry.path().filename().string());
        }
      }
      EXPECT_EQ(names, std::vector<std::string>{fileNamePart(path)});
      ASSERT_EQ(f.logged.size(), 1u);
      EXPECT_NE(f.logged[0].find("Cannot save settings file " + path + ": "), std::string::npos) << f.logged[0];
      EXPECT_NE(f.logged[0].find(c.reason), std::string::npos) << f.logged[0];
      f.store.setString(file, "a", "3");
      f.store.saveSettings(file);
      EXPECT_EQ(readFile(path), "a: 3\nlong: " + std::string(5000, 'x') + "\n");
      EXPECT_EQ(f.logged.size(), 1u);
    }
  }
}

// A settings file that is a link (or a chain of them, relative or absolute)
// stays one: the save replaces the file it leads to.
TEST(SettingsStore, SaveThroughALinkReplacesItsTarget) {
  for (const bool chain : {false, true}) {
    StoreFixture f;
    writeFile(f.dir / "real/config.kvml", "a: 1\n");
    writeFile(f.dir / "exe/.keep", "");
    std::filesystem::create_directories(folderOf(f.localConfig()));
    if (chain) {
      std::filesystem::create_symlink(f.dir / "real/config.kvml", f.dir / "middle.kvml");
      std::filesystem::create_symlink("../../../middle.kvml", f.localConfig());
    } else {
      std::filesystem::create_symlink("../../../real/config.kvml", f.localConfig());
    }
    // A file its owner made private stays private.
    std::filesystem::permissions(f.dir / "real/config.kvml", std::filesystem::perms::owner_read |
                                                                 std::filesystem::perms::owner_write);
    f.store.setString(SettingsFile::Config, "a", "2");
    f.store.saveSettings(SettingsFile::Config);
    EXPECT_EQ(std::filesystem::status(f.dir / "real/config.kvml").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_TRUE(std::filesystem::is_symlink(f.localConfig()));
    EXPECT_EQ(readFile(f.dir / "real/config.kvml"), "a: 2\n");
    EXPECT_TRUE(f.logged.empty());
  }
}

}  // namespace
}  // namespace kv::settings
