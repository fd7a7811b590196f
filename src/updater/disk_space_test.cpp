#include "updater/disk_space.h"

#include <gtest/gtest.h>

#include "support/fault_injecting_files.h"
#include "support/temp_dir.h"
#include "updater/download_resume.h"

namespace kv::updater {
namespace {

using test::FaultInjectingFiles;
using test::TempDir;
using test::writeFile;

TEST(DiskSpace, SizesReadAsThePlayerReadsThem) {
  const struct {
    std::uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {1048575, "1.0 MB"},  // not "1024.0 KB"
      {2254857830ULL, "2.1 GB"},
      {1288490189ULL, "1.2 GB"},
      {UINT64_MAX, "16.0 EB"},
  };
  for (const auto& c : cases) EXPECT_EQ(diskSizeText(c.bytes), c.text) << c.bytes;
}

// What a run needs: the listed sizes, less what a temporary that will be
// continued holds; a temporary without its record starts over.
TEST(DiskSpace, BytesToFetchCountWhatIsStillMissing) {
  TempDir dir;
  const auto item = [&dir](const std::string& name, std::optional<std::int64_t> size) {
    const std::string local = dir / name;
    return FetchItem{name, "", local, local + ".kvpart", size, ""};
  };
  writeFile(dir / "resumed.pak.kvpart", std::string(300, 'r'));
  writeFile(downloadRecordPath(dir / "resumed.pak.kvpart"), "record");
  writeFile(dir / "restarted.pak.kvpart", std::string(300, 'r'));
  writeFile(dir / "overgrown.pak.kvpart", std::string(900, 'o'));
  writeFile(downloadRecordPath(dir / "overgrown.pak.kvpart"), "record");
  EXPECT_EQ(bytesToFetch({item("new.pak", 1000), item("unsized.pak", std::nullopt), item("resumed.pak", 1000),
                          item("restarted.pak", 1000), item("overgrown.pak", 500)}),
            1000u + 700u + 1000u);
  EXPECT_EQ(bytesToFetch({item("huge", INT64_MAX), item("huge2", INT64_MAX), item("huge3", INT64_MAX)}), UINT64_MAX);
}

TEST(DiskSpace, AShortageNamesNeedAndFreeSpace) {
  TempDir dir;
  writeFile(dir / "eu/.keep", "");
  FaultInjectingFiles faults;
  faults.setFreeSpace(1288490189ULL);
  EXPECT_EQ(diskSpaceShortage(dir / "eu", "eu", 2254857830ULL),
            std::optional<std::string>("Not enough disk space: 2.1 GB needed in eu, 1.2 GB free"));
  EXPECT_EQ(diskSpaceShortage(dir / "eu", "eu", 1288490189ULL), std::nullopt);
  // A first install asks the disk of the folder that will hold the server's.
  EXPECT_EQ(diskSpaceShortage(dir / "us", "us", 2254857830ULL),
            std::optional<std::string>("Not enough disk space: 2.1 GB needed in us, 1.2 GB free"));
  // The system's own answer: one byte fits.
  faults.setFreeSpace(std::nullopt);
  EXPECT_EQ(diskSpaceShortage(dir / "eu", "eu", 1), std::nullopt);
}

}  // namespace
}  // namespace kv::updater
