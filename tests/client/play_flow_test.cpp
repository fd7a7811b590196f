#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "client/client_launch.h"
#include "client/library_fallback.h"
#include "platform/fake/fake_platform.h"
#include "platform/linux/linux_platform.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace kv::client {
namespace {

namespace fs = std::filesystem;
using test::exists;
using test::readFile;
using test::TempDir;
using test::writeFile;

constexpr int kWaitSeconds = 30;

// What happens when the player presses Play: restore the libraries, then
// start the client, with the real backend on real files.
class PlayFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = root / "eu";
    fs::create_directories(server);
    fifo = root / "started.fifo";
    ASSERT_TRUE(test::makeFifo(fifo));
    reader = std::make_unique<test::FifoReader>(fifo);
    ASSERT_TRUE(reader->isOpen());
    client = server + "/vdclient_gl_x64.exe";
    writeFile(client, "#!/bin/sh\npwd > '" + fifo + "'\n");
    ASSERT_EQ(::chmod(client.c_str(), 0755), 0);
  }

  void placeLibrary(const char* built, const std::string& name) {
    fs::copy_file(built, server + "/" + name, fs::copy_options::overwrite_existing);
  }

  // oldlibs.zip made by the zip program from the two working libraries.
  void placeFallbackArchive() {
    const std::string staging = scratch / "libs";
    fs::create_directories(staging);
    fs::copy_file(KV_STUB_EGL_LIBRARY, staging + "/libEGL.dll");
    fs::copy_file(KV_STUB_GLES_LIBRARY, staging + "/libGLESv2.dll");
    const std::string command = "cd '" + staging + "' && zip -q -X '" + server +
                                "/oldlibs.zip' libEGL.dll libGLESv2.dll";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  bool play() {
    (void)restoreGraphicsLibraries(server, machine, fake.dialogs, fake.window);
    return launchClient(server, "vdclient_gl_x64", shell, fake.dialogs, [this] { ++shutdowns; });
  }

  TempDir root;
  TempDir scratch;
  std::string server;
  std::string fifo;
  std::unique_ptr<test::FifoReader> reader;
  std::string client;
  platform::linux_backend::LinuxMachine machine{"/nonexistent"};
  platform::linux_backend::LinuxShell shell;
  platform::fake::FakePlatform fake;
  int shutdowns = 0;
};

TEST_F(PlayFlowTest, WorkingLibrariesStayAndTheClientStarts) {
  placeLibrary(KV_STUB_EGL_LIBRARY, "libEGL.dll");
  placeLibrary(KV_STUB_GLES_LIBRARY, "libGLESv2.dll");
  placeFallbackArchive();
  const std::string eglBefore = readFile(server + "/libEGL.dll");
  ASSERT_TRUE(play());
  EXPECT_EQ(shutdowns, 1);
  const auto startedIn = reader->readAll(kWaitSeconds);
  ASSERT_TRUE(startedIn.has_value());
  EXPECT_EQ(*startedIn, fs::canonical(server).string() + "\n");
  EXPECT_FALSE(exists(server + "/oldlibs.zip"));
  EXPECT_EQ(readFile(server + "/libEGL.dll"), eglBefore);
  EXPECT_TRUE(fake.dialogs.boxes().empty());
}

TEST_F(PlayFlowTest, BrokenLibrariesAreRestoredBeforeTheClientStarts) {
  struct Case {
    const char* name;
    const char* egl;   // nullptr: missing
    const char* gles;
  };
  const Case cases[] = {
      {"GLES library missing", KV_STUB_EGL_LIBRARY, nullptr},
      {"EGL library lacks its entry point", KV_STUB_OTHER_LIBRARY, KV_STUB_GLES_LIBRARY},
      {"EGL library cannot be loaded", KV_STUB_UNRESOLVED_LIBRARY, KV_STUB_GLES_LIBRARY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(server + "/libEGL.dll");
    fs::remove(server + "/libGLESv2.dll");
    fs::remove_all(scratch / "libs");
    if (c.egl != nullptr) placeLibrary(c.egl, "libEGL.dll");
    if (c.gles != nullptr) placeLibrary(c.gles, "libGLESv2.dll");
    placeFallbackArchive();
    EXPECT_TRUE(restoreGraphicsLibraries(server, machine, fake.dialogs, fake.window));
    EXPECT_FALSE(exists(server + "/oldlibs.zip"));
    EXPECT_TRUE(machine.libraryExports(server + "/libEGL.dll", "eglGetDisplay"));
    EXPECT_TRUE(machine.libraryExports(server + "/libGLESv2.dll", "glGetString"));
  }
  ASSERT_TRUE(launchClient(server, "vdclient_gl_x64", shell, fake.dialogs, [this] { ++shutdowns; }));
  EXPECT_TRUE(reader->readAll(kWaitSeconds).has_value());
  EXPECT_EQ(shutdowns, 1);
  EXPECT_TRUE(fake.dialogs.boxes().empty());
}

TEST_F(PlayFlowTest, DamagedArchiveIsReportedAndTheClientStartsAnyway) {
  placeLibrary(KV_STUB_OTHER_LIBRARY, "libEGL.dll");
  placeLibrary(KV_STUB_GLES_LIBRARY, "libGLESv2.dll");
  writeFile(server + "/oldlibs.zip", "PK\x03\x04 this archive ends early");
  ASSERT_TRUE(play());
  const auto boxes = fake.dialogs.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to extract ZIP file with libraries.");
  EXPECT_EQ(boxes[0].title, "Error");
  EXPECT_FALSE(exists(server + "/libEGL.dll"));
  EXPECT_FALSE(exists(server + "/libGLESv2.dll"));
  EXPECT_TRUE(exists(server + "/oldlibs.zip"));
  EXPECT_TRUE(reader->readAll(kWaitSeconds).has_value());
  EXPECT_EQ(shutdowns, 1);
}

TEST_F(PlayFlowTest, MissingClientShowsTheBoxAndTheLauncherStays) {
  fs::remove(client);
  const auto before = test::snapshotTree(server);
  EXPECT_FALSE(play());
  EXPECT_EQ(shutdowns, 0);
  const auto boxes = fake.dialogs.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to launch the game client executable.");
  EXPECT_EQ(boxes[0].title, "Launch Error");
  EXPECT_EQ(test::snapshotTree(server), before);
}

TEST_F(PlayFlowTest, LauncherStartedElsewhereCannotFindTheClient) {
  // The server folder is relative to the launcher's working directory; from
  // another one it names nothing.
  const fs::path previous = fs::current_path();
  fs::current_path(scratch.path());
  const bool launched = launchClient("eu", "vdclient_gl_x64", shell, fake.dialogs, [this] { ++shutdowns; });
  fs::current_path(root.path());
  const bool launchedHere = launchClient("eu", "vdclient_gl_x64", shell, fake.dialogs, [this] { ++shutdowns; });
  fs::current_path(previous);
  EXPECT_FALSE(launched);
  EXPECT_TRUE(launchedHere);
  EXPECT_EQ(shutdowns, 1);
  EXPECT_EQ(fake.dialogs.boxes().size(), 1u);
  EXPECT_TRUE(reader->readAll(kWaitSeconds).has_value());
}

}  // namespace
}  // namespace kv::client
