#include "updater/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/temp_dir.h"

namespace kv::updater {
namespace {

using test::readFile;
using test::snapshotTree;
using test::TempDir;
using test::writeFile;

// A replacement cut off by a kill leaves its temporary file; the next
// replacement of the same file removes such leftovers and nothing else.
TEST(ReplaceFileAtomically, RemovesTemporariesLeftByInterruptedReplacements) {
  TempDir dir;
  const std::string path = dir / "manifest.json";
  writeFile(path, "old");
  struct Case {
    const char* name;
    bool removed;
  };
  const Case cases[] = {
      {"manifest.json.Ab12Cd", true},          // the POSIX form
      {"manifest.json.4242_17", true},         // the Windows form
      {"manifest.json.bak-1", false},          // not a temporary name
      {"manifest.json.Ab12C", false},          // too short
      {"manifest.jsonAb12Cd", false},          // no dot
      {"manifest.meta.Ab12Cd", false},         // another file's temporary
      {"Manifest.json.Ab12Cd", false},         // another name
  };
  for (const Case& c : cases) writeFile(dir / c.name, "left");
  std::filesystem::create_directories(dir / "manifest.json.Folder1");

  ASSERT_TRUE(replaceFileAtomically(path, "new", nullptr, FileSync::NoFlush));
  EXPECT_EQ(readFile(path), "new");
  for (const Case& c : cases) EXPECT_EQ(std::filesystem::exists(dir / c.name), !c.removed) << c.name;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "manifest.json.Folder1")) << "a folder is never removed";
  EXPECT_EQ(snapshotTree(dir.path()).size(), 1 + 5 + 1u);
}

// Every download temporary is a name no manifest path can take, fits the
// file system whenever the final name does, and is told apart from the
// temporary of any other name.
TEST(DownloadTemporaryPath, FitsBesideTheFileUnderAReservedName) {
  const std::string eacute = "\xC3\xA9";
  std::string accented;  // 248 bytes of two-byte characters
  for (int i = 0; i < 124; ++i) accented += eacute;
  const struct {
    std::string path;
    std::string expected;  // "" when shortened
  } cases[] = {
      {"eu/a.pak", "eu/a.pak.kvpart"},
      {"a.pak", "a.pak.kvpart"},
      {"eu/" + std::string(248, 'x'), "eu/" + std::string(248, 'x') + ".kvpart"},
      {"eu/" + std::string(249, 'x'), ""},
      {"eu/" + std::string(249, 'y'), ""},
      {"eu/" + std::string(255, 'x'), ""},
      {"eu/xx" + accented, ""},
      {"eu/" + std::string(256, 'x'), "eu/" + std::string(256, 'x') + ".kvpart"},  // refused as it is
  };
  std::set<std::string> seen;
  for (const auto& c : cases) {
    const std::string part = downloadTemporaryPath(c.path);
    const std::string leaf = part.substr(part.rfind('/') + 1);
    EXPECT_TRUE(seen.insert(part).second) << part;
    EXPECT_TRUE(isDownloadTemporaryName(leaf)) << part;
    EXPECT_EQ(part.substr(0, part.size() - leaf.size()), c.path.substr(0, c.path.rfind('/') + 1)) << part;
    if (!c.expected.empty()) {
      EXPECT_EQ(part, c.expected);
      continue;
    }
    EXPECT_LE(leaf.size(), 255u);
    // The name is cut between characters, never inside one.
    const std::size_t tilde = leaf.rfind('~');
    ASSERT_NE(tilde, std::string::npos);
    EXPECT_NE(static_cast<unsigned char>(leaf[tilde - 1]), 0xC3u) << "cut inside a character";
  }
}

}  // namespace
}  // namespace kv::updater
