#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/linux/linux_platform.h"
#include "support/temp_dir.h"

namespace kv::platform::linux_backend {
namespace {

using kv::test::TempDir;
using kv::test::writeFile;

TEST(LinuxMachineIdentity, FirstReadableNonEmptyFileWinsTrimmedAndCut) {
  struct Case {
    const char* name;
    std::optional<std::string> first;   // nothing: no such file
    std::optional<std::string> second;
    std::string expected;
  };
  const std::string longId(300, 'a');
  const Case cases[] = {
      {"first file", "0123abcd\n", "fedc\n", "0123abcd"},
      {"first missing, second read", std::nullopt, "fedc\n", "fedc"},
      {"first empty, second read", "", "fedc", "fedc"},
      {"first blank, second read", " \r\n", "fedc", "fedc"},
      {"trailing carriage return and newline", "0123abcd\r\n", std::nullopt, "0123abcd"},
      {"only the first line counts", "first\nsecond\n", std::nullopt, "first"},
      {"cut at 255 bytes", longId + "\n", std::nullopt, std::string(255, 'a')},
      {"both empty", "", "", "unknown"},
      {"no file", std::nullopt, std::nullopt, "unknown"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string first = dir / "machine-id";
    const std::string second = dir / "dbus-machine-id";
    if (c.first) writeFile(first, *c.first);
    if (c.second) writeFile(second, *c.second);
    LinuxMachine machine(first + ":" + second);
    EXPECT_EQ(machine.machineIdentity(), c.expected) << c.name;
  }
}

// Restores HOME when the test ends.
class HomeGuard {
 public:
  HomeGuard() {
    const char* home = std::getenv("HOME");
    if (home != nullptr) saved_ = home;
  }
  ~HomeGuard() {
    if (saved_) {
      ::setenv("HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  HomeGuard(const HomeGuard&) = delete;
  HomeGuard& operator=(const HomeGuard&) = delete;

 private:
  std::optional<std::string> saved_;
};

TEST(LinuxMachineProfile, HomeFirstThenThePasswordDatabase) {
  HomeGuard guard;
  const struct passwd* entry = ::getpwuid(::getuid());
  ASSERT_NE(entry, nullptr) << "the test user has no password entry";
  const std::string fromDatabase = entry->pw_dir;
  ASSERT_FALSE(fromDatabase.empty());
  LinuxMachine machine("/nonexistent");

  ::setenv("HOME", "/some/where/else", 1);
  EXPECT_EQ(machine.profileFolder(), "/some/where/else");
  ::setenv("HOME", "", 1);
  EXPECT_EQ(machine.profileFolder(), fromDatabase);
  ::unsetenv("HOME");
  EXPECT_EQ(machine.profileFolder(), fromDatabase);
}

}  // namespace
}  // namespace kv::platform::linux_backend
