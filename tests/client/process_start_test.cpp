#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "pe_builder.h"
#include "platform/linux/linux_platform.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace kv::platform::linux_backend {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeFile;

constexpr int kWaitSeconds = 30;

// A shell script that reports how it was started into the named pipe.
std::string reportingScript(const std::string& fifo) {
  return "#!/bin/sh\n"
         "in=$(readlink /proc/$$/fd/0)\n"
         "out=$(readlink /proc/$$/fd/1)\n"
         "err=$(readlink /proc/$$/fd/2)\n"
         "fds=$(ls -l /proc/$$/fd)\n"
         "sid=$(cut -d' ' -f6 /proc/$$/stat)\n"
         "exec > '" + fifo + "'\n"
         "echo \"cwd=$(pwd)\"\n"
         "echo \"args=$#\"\n"
         "echo \"argv=$*\"\n"
         "echo \"pid=$$\"\n"
         "echo \"sid=$sid\"\n"
         "echo \"stdin=$in\"\n"
         "echo \"stdout=$out\"\n"
         "echo \"stderr=$err\"\n"
         "echo \"$fds\" | sed 's/^/fd /'\n";
}

void writeExecutable(const std::string& path, const std::string& content, mode_t mode = 0755) {
  writeFile(path, content);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

// The "key=value" lines of a report.
std::map<std::string, std::string> fields(const std::string& report) {
  std::map<std::string, std::string> result;
  std::istringstream lines(report);
  std::string line;
  while (std::getline(lines, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos && line.rfind("fd ", 0) != 0) {
      result[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return result;
}

class ProcessStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = root / "install/us";
    fs::create_directories(server);
    fifo = root / "report.fifo";
    ASSERT_TRUE(test::makeFifo(fifo));
    reader = std::make_unique<test::FifoReader>(fifo);
    ASSERT_TRUE(reader->isOpen());
  }

  TempDir root;
  std::string server;
  std::string fifo;
  std::unique_ptr<test::FifoReader> reader;
  LinuxShell shell;
};

TEST_F(ProcessStartTest, ClientStartsDetachedInItsFolderWithNothingInherited) {
  const std::string client = server + "/vdclient_dx_x64.exe";
  writeExecutable(client, reportingScript(fifo));
  // A descriptor the launcher holds without close-on-exec must not reach
  // the client.
  const std::string canary = root / "launcher-private.txt";
  writeFile(canary, "private");
  const int leaked = ::open(canary.c_str(), O_RDONLY);
  ASSERT_GE(leaked, 3);
  ASSERT_EQ(::fcntl(leaked, F_GETFD) & FD_CLOEXEC, 0);

  const bool started = shell.startProcess(client, server);
  ::close(leaked);
  ASSERT_TRUE(started);
  const auto report = reader->readAll(kWaitSeconds);
  ASSERT_TRUE(report.has_value());
  const auto f = fields(*report);
  EXPECT_EQ(f.at("cwd"), fs::canonical(server).string());
  EXPECT_EQ(f.at("args"), "0");
  EXPECT_EQ(f.at("sid"), f.at("pid"));  // leads a session of its own
  EXPECT_EQ(f.at("stdin"), "/dev/null");
  EXPECT_EQ(f.at("stdout"), "/dev/null");
  EXPECT_EQ(f.at("stderr"), "/dev/null");
  EXPECT_EQ(report->find("launcher-private.txt"), std::string::npos) << *report;
  EXPECT_NE(report->find("fd "), std::string::npos) << *report;
}

TEST_F(ProcessStartTest, RelativePathsMeanTheLaunchersWorkingDirectory) {
  const std::string client = server + "/vdclient_gl_x64.exe";
  writeExecutable(client, reportingScript(fifo));
  const fs::path previous = fs::current_path();
  fs::current_path(root / "install");
  const bool started = shell.startProcess("us/vdclient_gl_x64.exe", "us");
  fs::current_path(previous);
  ASSERT_TRUE(started);
  const auto report = reader->readAll(kWaitSeconds);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(fields(*report).at("cwd"), fs::canonical(server).string());
}

TEST_F(ProcessStartTest, ProgramsThatCannotStartAreReportedAtOnce) {
  const std::string script = reportingScript(fifo);
  writeExecutable(server + "/good.exe", script);
  writeExecutable(server + "/not-executable.exe", script, 0644);
  writeExecutable(server + "/bad-interpreter.exe", "#!/nonexistent/interpreter\necho hi\n");
  writeExecutable(server + "/empty.exe", "");
  writeExecutable(server + "/garbage.exe", std::string("\x01\x02\x03\x04garbage", 11));
  fs::create_directory(server + "/folder.exe");
  writeFile(server + "/plain-file", "x");
  struct Case {
    const char* name;
    std::string executable;
    std::string folder;
  };
  const Case cases[] = {
      {"missing executable", server + "/vdclient_dx_x64.exe", server},
      {"not executable", server + "/not-executable.exe", server},
      {"interpreter missing", server + "/bad-interpreter.exe", server},
      {"empty file", server + "/empty.exe", server},
      {"unknown format", server + "/garbage.exe", server},
      {"a folder", server + "/folder.exe", server},
      {"working folder missing", server + "/good.exe", server + "/missing"},
      {"working folder is a file", server + "/good.exe", server + "/plain-file"},
      {"no executable named", "", server},
      {"no working folder named", server + "/good.exe", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(shell.startProcess(c.executable, c.folder));
  }
}

class WindowsClientTest : public ProcessStartTest {
 protected:
  void SetUp() override {
    ProcessStartTest::SetUp();
    client = server + "/vdclient_dx_x64.exe";
    // A Windows program: no execute permission needed.
    const auto image = test::buildPeDll({true, {}}).bytes;
    writeFile(client, std::string(image.begin(), image.end()));
    ASSERT_EQ(::chmod(client.c_str(), 0644), 0);
    const char* path = std::getenv("PATH");
    savedPath = path != nullptr ? path : "";
    tools = root / "tools";
    fs::create_directories(tools);
  }
  void TearDown() override { ::setenv("PATH", savedPath.c_str(), 1); }

  std::string client;
  std::string tools;
  std::string savedPath;
};

TEST_F(WindowsClientTest, RunsThroughWineWhenItIsOnThePath) {
  writeExecutable(tools + "/wine", reportingScript(fifo));
  ::setenv("PATH", ("/nonexistent-folder::" + tools + ":" + savedPath).c_str(), 1);
  ASSERT_TRUE(shell.startProcess(client, server));
  const auto report = reader->readAll(kWaitSeconds);
  ASSERT_TRUE(report.has_value());
  const auto f = fields(*report);
  EXPECT_EQ(f.at("cwd"), fs::canonical(server).string());
  EXPECT_EQ(f.at("args"), "1");
  EXPECT_EQ(f.at("argv"), client);
  EXPECT_EQ(f.at("sid"), f.at("pid"));
}

TEST_F(WindowsClientTest, FailsWithoutWine) {
  // Only a wine that cannot run is there.
  writeExecutable(tools + "/wine", "#!/bin/sh\n", 0644);
  ::setenv("PATH", tools.c_str(), 1);
  EXPECT_FALSE(shell.startProcess(client, server));
  ::setenv("PATH", "", 1);
  EXPECT_FALSE(shell.startProcess(client, server));
}

TEST_F(ProcessStartTest, WebPagesOpenInTheBrowserOfTheSession) {
  // The page opener hands the address to the browser named in BROWSER.
  const std::string browser = root / "browser";
  writeExecutable(browser, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" + fifo + "'\n");
  const char* saved = std::getenv("BROWSER");
  const std::string savedBrowser = saved != nullptr ? saved : "";
  ::setenv("BROWSER", browser.c_str(), 1);
  const std::string url = "https://eu.vandrel.example.com/index.php?a=1&b=two words";
  shell.openUrl(url);
  if (saved != nullptr) {
    ::setenv("BROWSER", savedBrowser.c_str(), 1);
  } else {
    ::unsetenv("BROWSER");
  }
  const auto opened = reader->readAll(kWaitSeconds);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, "1|" + url);
}

}  // namespace
}  // namespace kv::platform::linux_backend
