#include "settings/config_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/config_test_sandbox.h"

namespace kv::settings {
namespace {

using test::Tree;
using kv::test::exists;
using kv::test::readFile;
using test::snapshotTree;
using kv::test::TempDir;
using kv::test::writeFile;

void makeFolder(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path; }
void link(const std::string& target, const std::string& path) {
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

TEST(CreateNumberedFolder, TakesTheFirstFreeNameAndLeavesLeftoversAlone) {
  struct Case {
    const char* name;
    std::vector<std::string> leftovers;  // "d:" folder, "f:" file, "l:" dangling link
    std::string expected;
  };
  std::vector<std::string> many{"d:tmp"};
  for (int i = 1; i <= 200; ++i) many.push_back("d:tmp_" + std::to_string(i));
  const Case cases[] = {
      {"nothing there", {}, "tmp"},
      {"folder left over", {"d:tmp"}, "tmp_1"},
      {"file in the way", {"f:tmp"}, "tmp_1"},
      {"dangling link in the way", {"l:tmp"}, "tmp_1"},
      {"gap in the numbers", {"d:tmp", "d:tmp_1", "d:tmp_3"}, "tmp_2"},
      {"two hundred leftovers", many, "tmp_201"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (const std::string& leftover : c.leftovers) {
      const std::string path = dir / leftover.substr(2);
      if (leftover[0] == 'd') writeFile(path + "/keep.txt", "keep");
      if (leftover[0] == 'f') writeFile(path, "file");
      if (leftover[0] == 'l') link(dir / "nowhere", path);
    }
    const Tree before = snapshotTree(dir.path());
    const std::optional<std::string> made = createNumberedFolder(dir.path(), "tmp");
    ASSERT_TRUE(made) << c.name;
    EXPECT_EQ(*made, dir / c.expected) << c.name;
    EXPECT_TRUE(isRealFolder(*made)) << c.name;
    Tree after = snapshotTree(dir.path());
    after.erase(c.expected);
    EXPECT_EQ(after, before) << c.name;
  }
}

TEST(CreateNumberedFolder, FailsWhenTheBaseCannotHoldFolders) {
  TempDir dir;
  writeFile(dir / "plain", "x");
  EXPECT_FALSE(createNumberedFolder(dir / "plain", "tmp"));
  EXPECT_FALSE(createNumberedFolder(dir / "missing", "tmp"));
}

// A folder with real files, and links that lead out of it or in circles.
struct LinkedFolder {
  TempDir dir;
  std::string config = dir / "config";
  std::string outside = dir / "outside";
  LinkedFolder() {
    writeFile(config + "/config.kvml", "enableAudio: true\n");
    writeFile(config + "/characters/hero.kvml", "hero");
    writeFile(config + "/characters/deep/a.txt", "a");
    writeFile(outside + "/secret.txt", "secret");
    link("../../outside", config + "/characters/linkdir");
    link("..", config + "/loop");
    link(outside + "/secret.txt", config + "/secret-link.txt");
    link(config + "/gone", config + "/dangling");
    ::mkfifo((config + "/pipe").c_str(), 0644);
  }
};

TEST(CopyFolderContent, CopiesRealFilesAndSkipsLinksAndSpecialFiles) {
  LinkedFolder f;
  const Tree outsideBefore = snapshotTree(f.outside);
  const std::string target = f.dir / "copy";
  makeFolder(target);
  writeFile(target + "/config.kvml", "an older and much longer text that must go");
  std::string reason;
  ASSERT_TRUE(copyFolderContent(f.config, target, reason)) << reason;
  EXPECT_EQ(snapshotTree(target), (Tree{{"config.kvml", "enableAudio: true\n"},
                                        {"characters", "<dir>"},
                                        {"characters/hero.kvml", "hero"},
                                        {"characters/deep", "<dir>"},
                                        {"characters/deep/a.txt", "a"}}));
  EXPECT_EQ(snapshotTree(f.outside), outsideBefore);
}

TEST(CopyFolderContent, ReportsTheSystemReason) {
  TempDir dir;
  std::string reason;
  makeFolder(dir / "to");
  EXPECT_FALSE(copyFolderContent(dir / "missing", dir / "to", reason));
  EXPECT_EQ(reason, "No such file or directory");
  // A nesting deeper than any configuration ends the copy instead of
  // running on.
  std::string deep = dir / "deep";
  for (int i = 0; i < 70; ++i) deep += "/d";
  writeFile(deep + "/x", "x");
  reason.clear();
  EXPECT_FALSE(copyFolderContent(dir / "deep", dir / "to", reason));
  EXPECT_FALSE(reason.empty());
}

TEST(RemoveTree, ALinkGivenAsTheFolderIsRemovedItself) {
  LinkedFolder f;
  link(f.outside, f.dir / "to-outside");
  EXPECT_TRUE(removeTree(f.dir / "to-outside"));
  EXPECT_FALSE(exists(f.dir / "to-outside"));
  EXPECT_EQ(readFile(f.outside + "/secret.txt"), "secret");
}

TEST(CopyFileBelow, CreatesFoldersKeepsOrOverwritesAndNeverLeavesTheRoot) {
  struct Case {
    const char* name;
    std::string relative;
    ExistingFile existing;
    CopyResult expected;
    std::string expectedContent;  // of root/relative afterwards; "" = not checked
  };
  const Case cases[] = {
      {"new file in new folders", "characters/new/x.kvml", ExistingFile::Keep, CopyResult::Copied,
       "imported"},
      {"existing file kept", "config.kvml", ExistingFile::Keep, CopyResult::KeptExisting, "mine"},
      {"existing file overwritten", "config.kvml", ExistingFile::Overwrite, CopyResult::Copied,
       "imported"},
      {"through a linked folder", "linkdir/x.kvml", ExistingFile::Overwrite, CopyResult::Failed, ""},
      {"onto a link to a file", "secret-link.txt", ExistingFile::Overwrite, CopyResult::Failed, ""},
      {"a link counts as existing", "secret-link.txt", ExistingFile::Keep,
       CopyResult::KeptExisting, ""},
      {"parent reference", "../escape.txt", ExistingFile::Overwrite, CopyResult::Failed, ""},
      {"empty part", "characters//x", ExistingFile::Overwrite, CopyResult::Failed, ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string root = dir / "config";
    writeFile(root + "/config.kvml", "mine");
    writeFile(dir / "outside/secret.txt", "secret");
    writeFile(dir / "source.kvml", "imported");
    link(dir / "outside", root + "/linkdir");
    link(dir / "outside/secret.txt", root + "/secret-link.txt");
    const Tree outsideBefore = snapshotTree(dir / "outside");
    EXPECT_EQ(copyFileBelow(dir / "source.kvml", root, c.relative, c.existing), c.expected)
        << c.name;
    if (!c.expectedContent.empty()) {
      EXPECT_EQ(readFile(root + "/" + c.relative), c.expectedContent) << c.name;
    }
    EXPECT_EQ(snapshotTree(dir / "outside"), outsideBefore) << c.name;
    EXPECT_FALSE(exists(dir / "escape.txt")) << c.name;
  }
}

TEST(MeasureTree, CountsEntriesAndFileBytes) {
  TempDir dir;
  writeFile(dir / "a", "12345");
  writeFile(dir / "sub/b", "123");
  link(dir / "a", dir / "sub/link");
  const TreeSize size = measureTree(dir.path());
  EXPECT_EQ(size.entries, 4u);
  EXPECT_EQ(size.bytes, 8u);
}

}  // namespace
}  // namespace kv::settings
