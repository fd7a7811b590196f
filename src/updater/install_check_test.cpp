#include "updater/install_check.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kv::updater {
namespace {

using test::TempDir;
using test::writeFile;

// sha256("hello")
const std::string kHello = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";

TEST(InstallCheck, MetadataAndContentAgainstTheEntry) {
  TempDir dir;
  writeFile(dir / "hello", "hello");
  writeFile(dir / "flipped", "hellp");
  std::filesystem::create_directory(dir / "folder");
  std::string upper = kHello;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const struct {
    const char* file;
    ManifestEntry entry;
    bool byMetadata, byContent;
  } cases[] = {
      {"hello", {"hello", kHello, 5}, true, true},
      {"hello", {"hello", upper, 5}, true, true},
      {"flipped", {"flipped", kHello, 5}, true, false},
      {"flipped", {"flipped", "opaque-hash", 5}, true, true},  // only the size can be checked
      {"flipped", {"flipped", kHello.substr(1) + "g", 5}, true, true},  // not hex: opaque
      {"hello", {"hello", kHello, 4}, false, false},
      {"hello", {"hello", kHello, 0, false}, true, true},  // no size listed
      {"missing", {"missing", kHello, 5}, false, false},
      {"folder", {"folder", kHello, 0, false}, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isWholeFile(dir / c.file, c.entry, FileCheck::Metadata), c.byMetadata) << c.file << " " << c.entry.hash;
    EXPECT_EQ(isWholeFile(dir / c.file, c.entry, FileCheck::Content), c.byContent) << c.file << " " << c.entry.hash;
  }
  EXPECT_EQ(sha256OfFile(dir / "hello"), kHello);
  EXPECT_FALSE(isCheckedEntry("sub/pack.zip"));
  EXPECT_TRUE(isCheckedEntry("a.pak"));
}

}  // namespace
}  // namespace kv::updater
