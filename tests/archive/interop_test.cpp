// Packing folders and extracting archives end to end, also with archives made
// and checked by the zip and unzip tools.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "archive/archive_texts.h"
#include "archive/sandbox.h"
#include "archive/zip_archive.h"
#include "archive/zip_archive_object.h"
#include "support/fault_injecting_files.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using archive::createZipArchive;
using archive::extractZipArchive;

// Runs a shell command; answers its exit status and standard output.
std::pair<int, std::string> run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, output};
  char piece[4096];
  while (const std::size_t got = std::fread(piece, 1, sizeof piece, pipe)) output.append(piece, got);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::vector<std::string> entryNames(const std::string& archivePath) {
  archive::ZipArchive zip;
  zip.load(archivePath);
  std::vector<std::string> names;
  for (const auto& entry : zip.listEntries()) names.push_back(entry.name);
  return names;
}

TEST(CreateZipArchive, PacksRegularFilesOnlyAndExtractsByteForByte) {
  TempDir dir;
  const std::string binary = std::string("\x00\xFF\x10", 3) + std::string(100000, 'z');
  writeFile(dir / "src/a.txt", "alpha");
  writeFile(dir / "src/sub/b.txt", binary);
  writeFile(dir / "src/zero.bin", "");
  fs::create_directories(dir / "src/empty");
  ASSERT_TRUE(createZipArchive(dir / "src", dir / "out.zip"));

  auto names = entryNames(dir / "out.zip");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub/b.txt", "zero.bin"}));
  const auto [status, listing] = run("unzip -v " + quoted(dir / "out.zip"));
  EXPECT_EQ(status, 0);
  EXPECT_NE(listing.find("Defl:X"), std::string::npos) << listing;  // deflate at the best level
  EXPECT_EQ(run("unzip -tq " + quoted(dir / "out.zip")).first, 0);

  // Into a folder that holds sub: every file back, byte for byte.
  fs::create_directories(dir / "dest/sub");
  ASSERT_TRUE(extractZipArchive(dir / "out.zip", dir / "dest", nullptr));
  EXPECT_EQ(snapshotTree(dir / "dest"),
            (std::map<std::string, std::string>{
                {"a.txt", "alpha"}, {"sub", "<dir>"}, {"sub/b.txt", binary}, {"zero.bin", ""}}));
}

TEST(CreateZipArchive, AnEmptyFolderGivesTheBareEndRecord) {
  TempDir dir;
  fs::create_directories(dir / "src/only/empty/folders");
  ASSERT_TRUE(createZipArchive(dir / "src", dir / "out.zip"));
  EXPECT_EQ(readFile(dir / "out.zip"), archive::kEmptyArchiveImage);
  const auto [status, listing] = run("unzip -l " + quoted(dir / "out.zip") + " 2>&1");
  EXPECT_NE(listing.find("zipfile is empty"), std::string::npos) << status << listing;
  // And it extracts successfully, writing nothing.
  fs::create_directories(dir / "dest");
  EXPECT_TRUE(extractZipArchive(dir / "out.zip", dir / "dest", nullptr));
  EXPECT_TRUE(snapshotTree(dir / "dest").empty());
}

TEST(CreateZipArchive, FailuresWriteOneLineAndNoArchive) {
  TempDir dir;
  writeFile(dir / "src/a.txt", "a");
  writeFile(dir / "src/bad\xFFname.txt", "not UTF-8");
  writeFile(dir / "ok/a.txt", "a");
  struct Case {
    const char* label;
    std::string source;
    std::string target;
    std::string reasonStart;
  };
  const std::vector<Case> cases = {
      {"missing folder", dir / "nope", dir / "missing.zip", "filesystem error"},
      {"name not UTF-8", dir / "src", dir / "bad.zip", std::string(archive::kWriteError)},
      {"target folder missing", dir / "ok", dir / "no/such/x.zip", std::string(archive::kWriteToFileFailed)},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(createZipArchive(c.source, c.target)) << c.label;
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(line.starts_with(std::string(archive::kZippingErrorPrefix) + c.reasonStart)) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    EXPECT_FALSE(exists(c.target)) << c.label;
  }
}

TEST(CreateZipArchive, DiskFailuresWriteOneLineAndNoArchive) {
  using platform::FileFault;
  using platform::FileOperation;
  TempDir dir;
  writeFile(dir / "src/a.txt", "a");
  writeFile(dir / "src/sub/b.txt", "b");
  struct Case {
    const char* label;
    FileOperation operation;
    int nth;
    std::string reasonStart;
  };
  const Case cases[] = {
      {"unreadable folder", FileOperation::Open, 1, "filesystem error"},
      {"unreadable subfolder", FileOperation::Open, 2, "filesystem error"},
      {"disk full", FileOperation::Write, 1, std::string(archive::kWriteToFileFailed)},
      {"rename refused", FileOperation::Rename, 1, std::string(archive::kWriteToFileFailed)},
  };
  for (const Case& c : cases) {
    FaultInjectingFiles faults;
    faults.failNth(c.operation, c.nth, FileFault::DiskFull);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(createZipArchive(dir / "src", dir / "out.zip")) << c.label;
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(line.starts_with(std::string(archive::kZippingErrorPrefix) + c.reasonStart)) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    EXPECT_EQ(snapshotTree(dir.path()).size(), 4u) << c.label << ": nothing but the source";
  }
  // Extraction onto a full disk fails too.
  ASSERT_TRUE(createZipArchive(dir / "src", dir / "out.zip"));
  FaultInjectingFiles faults;
  faults.failFrom(FileOperation::Write, 1, FileFault::DiskFull);
  fs::create_directories(dir / "dest");
  EXPECT_FALSE(extractZipArchive(dir / "out.zip", dir / "dest", nullptr));
}

TEST(CreateZipArchive, ReplacesAnOldArchiveOnlyWhenDone) {
  TempDir dir;
  writeFile(dir / "out.zip", "old export");
  writeFile(dir / "src/a.txt", "a");
  ASSERT_TRUE(createZipArchive(dir / "src", dir / "out.zip"));
  EXPECT_EQ(entryNames(dir / "out.zip"), std::vector<std::string>{"a.txt"});
  // An archive written into the folder being packed does not contain itself.
  ASSERT_TRUE(createZipArchive(dir / "src", dir / "src/self.zip"));
  EXPECT_EQ(entryNames(dir / "src/self.zip"), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(snapshotTree(dir / "src").size(), 2u);  // no temporary file left
}

TEST(CreateZipArchive, LinksAreNeitherFollowedNorStored) {
  TempDir dir;
  writeFile(dir / "outside/secret.txt", "secret");
  writeFile(dir / "src/characters/hero.kvml", "hero");
  fs::create_directory_symlink(dir / "outside", dir / "src/characters/linkdir");
  fs::create_symlink(dir / "outside/secret.txt", dir / "src/secret_link.txt");
  fs::create_directory_symlink("..", dir / "src/loop");
  ASSERT_TRUE(createZipArchive(dir / "src", dir / "out.zip"));
  EXPECT_EQ(entryNames(dir / "out.zip"), std::vector<std::string>{"characters/hero.kvml"});
}

TEST(CreateZipArchive, NonAsciiNamesRoundTripAsUtf8) {
  TempDir dir;
  const std::string ae = "characters/\xC3\x86r\xC3\xB8.kvml";
  const std::string jp = "characters/\xE6\x97\xA5\xE6\x9C\xAC.kvml";
  writeFile(dir / "src/" + ae, "ae");
  writeFile(dir / "src/" + jp, "jp");
  ASSERT_TRUE(createZipArchive(dir / "src", dir / "out.zip"));
  // The unzip tool sees the same names (the UTF-8 flag is set).
  const auto [status, listing] = run("unzip -Z1 " + quoted(dir / "out.zip"));
  ASSERT_EQ(status, 0);
  EXPECT_NE(listing.find(ae), std::string::npos) << listing;
  EXPECT_NE(listing.find(jp), std::string::npos) << listing;
  fs::create_directories(dir / "dest/characters");
  ASSERT_TRUE(extractZipArchive(dir / "out.zip", dir / "dest", nullptr));
  EXPECT_EQ(snapshotTree(dir / "dest"), snapshotTree(dir / "src"));
}

// Archives as the zip tool makes them, with and without folder entries:
// every folder is made, an empty one too.
TEST(ExtractZipArchive, ZipToolArchivesGetTheirFolders) {
  const struct {
    const char* label;
    const char* options;
  } cases[] = {{"folder entries", "-r"}, {"no folder entries", "-r -D"}};
  for (const auto& c : cases) {
    TempDir dir;
    writeFile(dir / "pack/x.dll", "x");
    writeFile(dir / "pack/sub/y.dll", "y");
    writeFile(dir / "pack/sub/deeper/z.dat", "z");
    fs::create_directories(dir / "pack/empty");
    ASSERT_EQ(run("cd " + quoted(dir / "pack") + " && zip -q " + c.options + " ../libs.zip .").first, 0);
    fs::create_directories(dir / "dest");
    platform::fake::FakeWindow window;
    EXPECT_TRUE(extractZipArchive(dir / "libs.zip", dir / "dest", &window)) << c.label;
    auto expected = snapshotTree(dir / "pack");
    if (std::string(c.options).find("-D") != std::string::npos) expected.erase("empty");
    EXPECT_EQ(snapshotTree(dir / "dest"), expected) << c.label;
    EXPECT_EQ(window.fullInvalidations(), 0) << c.label;
    // Extracting again over the folders it made changes nothing.
    EXPECT_TRUE(extractZipArchive(dir / "libs.zip", dir / "dest", &window)) << c.label;
    EXPECT_EQ(snapshotTree(dir / "dest"), expected) << c.label;
  }
}

TEST(ExtractZipArchive, ZipToolArchivesKeepTheExecutableBit) {
  TempDir dir;
  writeFile(dir / "pack/run.sh", "#!/bin/sh\necho ok\n");
  writeFile(dir / "pack/data.txt", "d");
  ::chmod((dir / "pack/run.sh").c_str(), 0755);
  ::chmod((dir / "pack/data.txt").c_str(), 0644);
  fs::create_symlink("/etc/hostname", dir / "pack/link");
  ASSERT_EQ(run("cd " + quoted(dir / "pack") + " && zip -q -y ../client.zip run.sh data.txt link").first, 0);
  fs::create_directories(dir / "dest");
  ASSERT_TRUE(extractZipArchive(dir / "client.zip", dir / "dest", nullptr));
  EXPECT_EQ(run(quoted(dir / "dest/run.sh")).second, "ok\n");
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "dest/data.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0111, 0u);
  ASSERT_EQ(::lstat((dir / "dest/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(readFile(dir / "dest/link"), "/etc/hostname");
}

TEST(ExtractZipArchive, MissingArchiveWritesNothing) {
  ArchiveSandbox box;
  const auto before = box.outside();
  EXPECT_FALSE(extractZipArchive(box.dir / "archives/none.zip", box.destination, &box.window));
  EXPECT_TRUE(box.inside().empty());
  EXPECT_EQ(box.outside(), before);
  EXPECT_EQ(box.window.fullInvalidations(), 1);
  EXPECT_FALSE(extractZipArchive(box.dir / "archives/none.zip", box.destination, nullptr));
}

}  // namespace
}  // namespace kv::test
