#include "settings/config_archive_limits.h"

#include <gtest/gtest.h>

#include "support/config_test_sandbox.h"

namespace kv::settings {
namespace {

using test::writeZip;
using test::ZipItem;
using kv::test::TempDir;
using kv::test::writeFile;

TEST(DeclaredArchiveTotals, CountsEntriesAndUncompressedBytes) {
  TempDir dir;
  writeZip(dir / "a.zip", {{"config.kvml", "12345"},
                           {"characters/hero.kvml", std::string(3u << 20, 'z')},
                           {"empty", ""}});
  const std::optional<ArchiveTotals> totals = declaredArchiveTotals(archive::ArchiveToExtract(dir / "a.zip"));
  ASSERT_TRUE(totals);
  EXPECT_EQ(totals->entries, 3u);
  EXPECT_EQ(totals->bytes, 5u + (3u << 20));

  // An archive without entries is its end record alone.
  writeFile(dir / "none.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  ASSERT_TRUE(declaredArchiveTotals(archive::ArchiveToExtract(dir / "none.zip")));
  EXPECT_EQ(declaredArchiveTotals(archive::ArchiveToExtract(dir / "none.zip"))->entries, 0u);
}

TEST(DeclaredArchiveTotals, NothingForWhatIsNoArchive) {
  TempDir dir;
  writeFile(dir / "page.zip", "<html>not found</html>");
  writeFile(dir / "empty.zip", "");
  EXPECT_FALSE(declaredArchiveTotals(archive::ArchiveToExtract(dir / "page.zip")));
  EXPECT_FALSE(declaredArchiveTotals(archive::ArchiveToExtract(dir / "empty.zip")));
  EXPECT_FALSE(declaredArchiveTotals(archive::ArchiveToExtract(dir / "missing.zip")));
}

}  // namespace
}  // namespace kv::settings
