#include "client/library_fallback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "support/fault_injecting_files.h"
#include "support/temp_dir.h"
#include "support/zip_files.h"

namespace kv::client {
namespace {

using test::exists;
using test::readFile;
using test::TempDir;
using test::writeFile;
using test::writeZip;

constexpr const char* kEglBytes = "egl library in place";
constexpr const char* kGlesBytes = "gles library in place";
constexpr const char* kEglFromArchive = "egl library from the archive";
constexpr const char* kGlesFromArchive = "gles library from the archive";

class LibraryFallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = root / "eu";
    writeFile(server + "/vdclient_gl_x64.exe", "client");
  }

  // Both libraries in place and both offering their entry points.
  void placeWorkingLibraries() {
    writeFile(server + "/libEGL.dll", kEglBytes);
    writeFile(server + "/libGLESv2.dll", kGlesBytes);
    fake.machine.exports[server + "/libEGL.dll"] = {"eglGetDisplay"};
    fake.machine.exports[server + "/libGLESv2.dll"] = {"glGetString"};
  }

  void placeGoodArchive() {
    writeZip(server + "/oldlibs.zip",
            {{"libEGL.dll", kEglFromArchive}, {"libGLESv2.dll", kGlesFromArchive}});
  }

  bool restore() { return restoreGraphicsLibraries(server, fake.machine, fake.dialogs, fake.window); }

  TempDir root;
  std::string server;
  platform::fake::FakePlatform fake;
};

TEST_F(LibraryFallbackTest, WithoutArchiveNothingHappens) {
  writeFile(server + "/libEGL.dll", kEglBytes);  // broken: exports nothing
  const auto before = test::snapshotTree(root.path());
  EXPECT_FALSE(restore());
  EXPECT_EQ(test::snapshotTree(root.path()), before);
  EXPECT_TRUE(fake.dialogs.boxes().empty());
}

TEST_F(LibraryFallbackTest, AFolderNamedLikeTheArchiveIsNoArchive) {
  writeFile(server + "/oldlibs.zip/inner", "x");
  const auto before = test::snapshotTree(root.path());
  EXPECT_FALSE(restore());
  EXPECT_EQ(test::snapshotTree(root.path()), before);
  EXPECT_TRUE(fake.dialogs.boxes().empty());
}

TEST_F(LibraryFallbackTest, WorkingLibrariesStayAndTheArchiveGoes) {
  placeWorkingLibraries();
  placeGoodArchive();
  EXPECT_FALSE(restore());
  EXPECT_FALSE(exists(server + "/oldlibs.zip"));
  EXPECT_EQ(readFile(server + "/libEGL.dll"), kEglBytes);
  EXPECT_EQ(readFile(server + "/libGLESv2.dll"), kGlesBytes);
  EXPECT_TRUE(fake.dialogs.boxes().empty());
}

TEST_F(LibraryFallbackTest, LibrariesThatDoNotWorkAreReplacedFromTheArchive) {
  struct Case {
    const char* name;
    bool eglPresent;
    bool glesPresent;
    std::vector<std::string> eglExports;
    std::vector<std::string> glesExports;
  };
  const Case cases[] = {
      {"GLES library missing", true, false, {"eglGetDisplay"}, {}},
      {"EGL library missing", false, true, {}, {"glGetString"}},
      {"both missing", false, false, {}, {}},
      {"EGL entry point missing", true, true, {"eglGetCurrentDisplay"}, {"glGetString"}},
      {"GLES entry point missing", true, true, {"eglGetDisplay"}, {"glGetStringi"}},
      {"entry points swapped", true, true, {"glGetString"}, {"eglGetDisplay"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    const std::string s = folder / "us";
    platform::fake::FakePlatform f;
    std::filesystem::create_directories(s);
    if (c.eglPresent) writeFile(s + "/libEGL.dll", kEglBytes);
    if (c.glesPresent) writeFile(s + "/libGLESv2.dll", kGlesBytes);
    f.machine.exports[s + "/libEGL.dll"] = c.eglExports;
    f.machine.exports[s + "/libGLESv2.dll"] = c.glesExports;
    writeZip(s + "/oldlibs.zip",
            {{"libEGL.dll", kEglFromArchive}, {"libGLESv2.dll", kGlesFromArchive}});
    EXPECT_TRUE(restoreGraphicsLibraries(s, f.machine, f.dialogs, f.window));
    EXPECT_EQ(readFile(s + "/libEGL.dll"), kEglFromArchive);
    EXPECT_EQ(readFile(s + "/libGLESv2.dll"), kGlesFromArchive);
    EXPECT_FALSE(exists(s + "/oldlibs.zip"));
    EXPECT_TRUE(f.dialogs.boxes().empty());
  }
}

TEST_F(LibraryFallbackTest, FilesInFoldersOfTheArchiveGetTheirFolders) {
  writeZip(server + "/oldlibs.zip",
          {{"libEGL.dll", kEglFromArchive}, {"libGLESv2.dll", kGlesFromArchive},
           {"angle/d3d/d3dcompiler_47.dll", "compiler"}});
  EXPECT_TRUE(restore());
  EXPECT_EQ(readFile(server + "/angle/d3d/d3dcompiler_47.dll"), "compiler");
  EXPECT_EQ(readFile(server + "/libGLESv2.dll"), kGlesFromArchive);
  EXPECT_FALSE(exists(server + "/oldlibs.zip"));
  EXPECT_TRUE(fake.dialogs.boxes().empty());
}

TEST_F(LibraryFallbackTest, ArchiveWithOnlyOneLibraryLeavesTheOtherDeleted) {
  placeGoodArchive();
  writeFile(server + "/libEGL.dll", kEglBytes);
  writeFile(server + "/libGLESv2.dll", kGlesBytes);
  writeZip(server + "/oldlibs.zip", {{"libEGL.dll", kEglFromArchive}});
  EXPECT_TRUE(restore());
  EXPECT_EQ(readFile(server + "/libEGL.dll"), kEglFromArchive);
  EXPECT_FALSE(exists(server + "/libGLESv2.dll"));
  EXPECT_FALSE(exists(server + "/oldlibs.zip"));
}

TEST_F(LibraryFallbackTest, DamagedArchiveShowsTheBoxAndStays) {
  struct Case {
    const char* name;
    std::string archiveBytes;  // empty: cut a good archive in half
  };
  const Case cases[] = {
      {"cut in half", ""},
      {"not a zip", "<html>404 Not Found</html>"},
      {"empty file", std::string()},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    TempDir folder;
    const std::string s = folder / "eu";
    platform::fake::FakePlatform f;
    writeFile(s + "/libEGL.dll", kEglBytes);
    writeFile(s + "/libGLESv2.dll", kGlesBytes);  // neither exports anything
    std::string bytes = c.archiveBytes;
    if (i == 0) {
      writeZip(s + "/good.zip",
              {{"libEGL.dll", kEglFromArchive}, {"libGLESv2.dll", kGlesFromArchive}});
      const std::string whole = readFile(s + "/good.zip");
      bytes = whole.substr(0, whole.size() / 2);
      std::remove((s + "/good.zip").c_str());
    }
    writeFile(s + "/oldlibs.zip", bytes);
    EXPECT_FALSE(restoreGraphicsLibraries(s, f.machine, f.dialogs, f.window));
    EXPECT_FALSE(exists(s + "/libEGL.dll"));
    EXPECT_FALSE(exists(s + "/libGLESv2.dll"));
    EXPECT_EQ(readFile(s + "/oldlibs.zip"), bytes);
    const auto boxes = f.dialogs.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Failed to extract ZIP file with libraries.");
    EXPECT_EQ(boxes[0].title, "Error");
    EXPECT_EQ(boxes[0].icon, platform::MessageIcon::Error);
    EXPECT_EQ(boxes[0].buttons, platform::MessageButtons::Ok);
    EXPECT_EQ(boxes[0].owner, platform::MessageOwner::MainWindow);
    // The next press of Play tries again and succeeds once the archive is
    // sound.
    writeZip(s + "/oldlibs.zip",
            {{"libEGL.dll", kEglFromArchive}, {"libGLESv2.dll", kGlesFromArchive}});
    EXPECT_TRUE(restoreGraphicsLibraries(s, f.machine, f.dialogs, f.window));
    EXPECT_EQ(readFile(s + "/libGLESv2.dll"), kGlesFromArchive);
    EXPECT_EQ(f.dialogs.boxes().size(), 1u);
  }
}

TEST_F(LibraryFallbackTest, ALibraryThatCannotBeDeletedDoesNotStopTheRestore) {
  // A folder in the library's place cannot be removed as a file; the
  // restore carries on with the other steps.
  writeFile(server + "/libEGL.dll/keep", "x");
  writeFile(server + "/libGLESv2.dll", kGlesBytes);
  writeZip(server + "/oldlibs.zip", {{"libGLESv2.dll", kGlesFromArchive}});
  EXPECT_TRUE(restore());
  EXPECT_EQ(readFile(server + "/libEGL.dll/keep"), "x");
  EXPECT_EQ(readFile(server + "/libGLESv2.dll"), kGlesFromArchive);
  EXPECT_FALSE(exists(server + "/oldlibs.zip"));
}

TEST_F(LibraryFallbackTest, DiskFailuresShowTheBoxOrLeaveOnlyTheArchive) {
  using platform::FileFault;
  using platform::FileOperation;
  writeFile(server + "/libEGL.dll", kEglBytes);  // exports nothing
  placeGoodArchive();
  {
    // The libraries cannot be written: the box, and the archive stays for
    // the next try.
    test::FaultInjectingFiles faults;
    faults.failFrom(FileOperation::Write, 1, FileFault::DiskFull);
    EXPECT_FALSE(restore());
    ASSERT_EQ(fake.dialogs.boxes().size(), 1u);
    EXPECT_EQ(fake.dialogs.boxes()[0].text, "Failed to extract ZIP file with libraries.");
    EXPECT_TRUE(exists(server + "/oldlibs.zip"));
  }
  // The archive cannot be removed after a restore: the libraries are in
  // place all the same.
  test::FaultInjectingFiles faults;
  faults.failFrom(FileOperation::Remove, 1, FileFault::Denied, "oldlibs.zip");
  EXPECT_TRUE(restore());
  EXPECT_EQ(readFile(server + "/libEGL.dll"), kEglFromArchive);
  EXPECT_TRUE(exists(server + "/oldlibs.zip"));
  EXPECT_EQ(fake.dialogs.boxes().size(), 1u);
}

TEST_F(LibraryFallbackTest, ArchiveCannotWriteOutsideTheServerFolder) {
  // oldlibs.zip arrives from the download server: entries that climb out of
  // the server folder must not land anywhere else.
  writeFile(root / "outside.txt", "untouched");
  const std::string archive = server + "/oldlibs.zip";
  writeZip(archive, {{"libEGL.dll", "egl"},
                     {"../outside.txt", "overwritten"},
                     {"../escaped.txt", "escaped"},
                     {"libGLESv2.dll", "gles"}});
  const bool replaced = restore();
  EXPECT_EQ(readFile(root / "outside.txt"), "untouched");
  EXPECT_FALSE(exists(root / "escaped.txt"));
  // The climbing entry ends the extraction: the box says so, the archive
  // stays for the next attempt, and nothing counts as restored.
  EXPECT_FALSE(replaced);
  ASSERT_EQ(fake.dialogs.boxes().size(), 1u);
  EXPECT_EQ(fake.dialogs.boxes()[0].text, "Failed to extract ZIP file with libraries.");
  EXPECT_TRUE(exists(archive));
}

}  // namespace
}  // namespace kv::client
