#include "updater/install_check.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kv::updater {
namespace {

using test::TempDir;
using test::writeFile;

TEST(InstallCheck, AWholeFileIsARegularFileOfTheListedSize) {
  TempDir dir;
  writeFile(dir / "hello", "hello");
  std::filesystem::create_directory(dir / "folder");
  std::filesystem::create_symlink(dir / "hello", dir / "link");
  const struct {
    const char* file;
    ManifestEntry entry;
    bool whole;
  } cases[] = {
      {"hello", {"hello", "h", 5}, true},
      {"hello", {"hello", "h", 4}, false},
      {"hello", {"hello", "h", 6}, false},
      {"hello", {"hello", "h", 0, false}, true},  // no size listed
      {"link", {"link", "h", 5}, true},           // the file it leads to counts
      {"missing", {"missing", "h", 0, false}, false},
      {"folder", {"folder", "h", 0, false}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(isWholeFile(dir / c.file, c.entry), c.whole) << c.file << " " << c.entry.size;
  EXPECT_TRUE(isSha256Hex(std::string(63, 'a') + "F"));
  EXPECT_FALSE(isSha256Hex(std::string(63, 'a') + "g"));
  EXPECT_FALSE(isSha256Hex(std::string(62, 'a')));
  const std::string digest = std::string(63, 'a') + "f";
  EXPECT_TRUE(matchesSha256(digest, std::string(63, 'A') + "F"));   // the listed hash in any case
  EXPECT_FALSE(matchesSha256(digest, std::string(63, 'a') + "e"));
  EXPECT_FALSE(matchesSha256("", std::string(64, 'a')));            // no digest
  EXPECT_FALSE(matchesSha256(std::string(64, 'x'), std::string(64, 'x')));  // not a SHA-256
  EXPECT_FALSE(isCheckedEntry("sub/pack.zip"));
  EXPECT_TRUE(isCheckedEntry("a.pak"));
}

}  // namespace
}  // namespace kv::updater
