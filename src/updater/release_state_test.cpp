#include "updater/release_state.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kv::updater {
namespace {

using kv::test::TempDir;
using kv::test::writeFile;

TEST(ReleaseState, ReadsWhatItWroteAndNothingElse) {
  TempDir dir;
  EXPECT_FALSE(readReleaseState(dir.path()));
  const ReleaseState written{18446744073709551615ull, 1798000000};
  ASSERT_TRUE(writeReleaseState(dir.path(), written));
  const std::optional<ReleaseState> read = readReleaseState(dir.path());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->release, written.release);
  EXPECT_EQ(read->expires, written.expires);

  const char* damaged[] = {
      "",
      "release 12\n",
      "release 12\nexpires 1798000000",
      "release 12\nexpires 1798000000\nmore\n",
      "release -1\nexpires 1798000000\n",
      "release +1\nexpires 1798000000\n",
      "release 18446744073709551616\nexpires 1\n",
      "release 12 \nexpires 1\n",
      "release  12\nexpires 1\n",
      "release\nexpires 1\n",
      "expires 1\nrelease 12\n",
      "release 0x1\nexpires 1\n",
      "release 12\r\nexpires 1\r\n",
  };
  for (const char* text : damaged) {
    writeFile(dir.path() + "/release.state", text);
    EXPECT_FALSE(readReleaseState(dir.path())) << text;
  }
  writeFile(dir.path() + "/release.state", std::string(300, '1'));
  EXPECT_FALSE(readReleaseState(dir.path()));
}

}  // namespace
}  // namespace kv::updater
