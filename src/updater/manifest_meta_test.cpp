#include "updater/manifest_meta.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kv::updater {
namespace {

using kv::test::readFile;
using kv::test::TempDir;
using kv::test::writeFile;

TEST(ManifestMeta, ReadsTheValueOfTheFirstMatchingLine) {
  struct Case {
    std::string content;
    std::string value;  // "<old>" when the target must keep its value
  };
  const Case cases[] = {
      {"Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT\n", "Mon, 07 Dec 2026 10:00:00 GMT"},
      {"Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT", "Mon, 07 Dec 2026 10:00:00 GMT"},
      {"Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT\r\n", "Mon, 07 Dec 2026 10:00:00 GMT"},
      {"  \tLast-Modified:    build-42  \t \n", "build-42"},
      {"Last-Modified:x", "x"},
      {"Last-Modified:  two  spaces  inside\n", "two  spaces  inside"},
      {"junk\nLast-Modified: first\nLast-Modified: second\n", "first"},
      {"last-modified: lower case\n", "<old>"},
      {"Last-Modified:\n", ""},
      {"Last-Modified:   \n", ""},
      {"Last-Modified\n", "<old>"},
      {"", "<old>"},
      {std::string("\x00\x01\xff\n", 4), "<old>"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    writeFile(dir / "eu/manifest.meta", c.content);
    std::string target = "<old>";
    EXPECT_TRUE(readManifestMeta(dir / "eu", target)) << c.content;
    EXPECT_EQ(target, c.value) << c.content;
  }
}

TEST(ManifestMeta, AMissingRecordLeavesTheTargetAlone) {
  TempDir dir;
  std::string target = "kept";
  EXPECT_FALSE(readManifestMeta(dir / "eu", target));
  EXPECT_EQ(target, "kept");
}

TEST(ManifestMeta, WritesOneLineAndReadsItBack) {
  TempDir dir;
  std::filesystem::create_directories(dir / "eu");
  const std::string values[] = {"Mon, 07 Dec 2026 10:00:00 GMT", "build-42", "a  b", std::string(300, 'x'),
                                "\xC3\xA9t\xC3\xA9"};
  for (const std::string& value : values) {
    ASSERT_TRUE(writeManifestMeta(dir / "eu", value));
    EXPECT_EQ(readFile(dir / "eu/manifest.meta"), "Last-Modified: " + value + "\n");
    std::string back;
    ASSERT_TRUE(readManifestMeta(dir / "eu", back));
    EXPECT_EQ(back, value);
  }
  EXPECT_EQ(kv::test::snapshotTree(dir / "eu").size(), 1u) << "a temporary file was left behind";
}

TEST(ManifestMeta, AWriteIntoAMissingFolderFailsQuietly) {
  TempDir dir;
  EXPECT_FALSE(writeManifestMeta(dir / "absent", "x"));
  EXPECT_FALSE(kv::test::exists(dir / "absent"));
}

}  // namespace
}  // namespace kv::updater
