#include "client/client_launch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/fake/fake_platform.h"
#include "support/temp_dir.h"

namespace kv::client {
namespace {

namespace fs = std::filesystem;

TEST(LaunchClientTest, StartsTheBuildFromTheServerFolderAndShutsDown) {
  struct Case {
    std::string serverPath;
    const char* build;
    std::string executable;
    std::string folder;
  };
  const std::string cwd = fs::current_path().string();
  const Case cases[] = {
      {"us", "vdclient_dx_x64", cwd + "/us/vdclient_dx_x64.exe", cwd + "/us"},
      {"eu", "vdclient_gl_x86", cwd + "/eu/vdclient_gl_x86.exe", cwd + "/eu"},
      {"./eu/", "vdclient_gl_x64", cwd + "/eu/vdclient_gl_x64.exe", cwd + "/eu"},
      {"/opt/game/us", "vdclient_dx_x86", "/opt/game/us/vdclient_dx_x86.exe", "/opt/game/us"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serverPath);
    platform::fake::FakePlatform fake;
    int shutdowns = 0;
    EXPECT_TRUE(launchClient(c.serverPath, c.build, fake.shell, fake.dialogs, [&] { ++shutdowns; }));
    ASSERT_EQ(fake.shell.started.size(), 1u);
    EXPECT_EQ(fake.shell.started[0].executable, c.executable);
    EXPECT_EQ(fake.shell.started[0].workingDirectory, c.folder);
    EXPECT_EQ(shutdowns, 1);
    EXPECT_TRUE(fake.dialogs.boxes().empty());
  }
}

TEST(LaunchClientTest, FailureShowsTheBoxAndKeepsTheLauncher) {
  platform::fake::FakePlatform fake;
  fake.shell.startSucceeds = false;
  int shutdowns = 0;
  EXPECT_FALSE(launchClient("eu", "vdclient_dx_x64", fake.shell, fake.dialogs, [&] { ++shutdowns; }));
  EXPECT_EQ(shutdowns, 0);
  const auto boxes = fake.dialogs.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to launch the game client executable.");
  EXPECT_EQ(boxes[0].title, "Launch Error");
  EXPECT_EQ(boxes[0].icon, platform::MessageIcon::Error);
  EXPECT_EQ(boxes[0].buttons, platform::MessageButtons::Ok);
  EXPECT_EQ(boxes[0].owner, platform::MessageOwner::MainWindow);
  // The Play button may be pressed again: a second press tries again.
  fake.shell.startSucceeds = true;
  EXPECT_TRUE(launchClient("eu", "vdclient_dx_x64", fake.shell, fake.dialogs, [&] { ++shutdowns; }));
  EXPECT_EQ(shutdowns, 1);
  EXPECT_EQ(fake.shell.started.size(), 2u);
}

TEST(LaunchClientTest, NoServerFolderStartsNothing) {
  // An empty folder must not turn into a path at the file system's root.
  platform::fake::FakePlatform fake;
  int shutdowns = 0;
  EXPECT_FALSE(launchClient("", "vdclient_dx_x64", fake.shell, fake.dialogs, [&] { ++shutdowns; }));
  EXPECT_TRUE(fake.shell.started.empty());
  EXPECT_EQ(shutdowns, 0);
  EXPECT_EQ(fake.dialogs.boxes().size(), 1u);
  EXPECT_EQ(clientExecutablePath("", "vdclient_dx_x64"), "");
}

}  // namespace
}  // namespace kv::client
