#include "base/path_text.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

TEST(PathText, JoinsAndSplits) {
  EXPECT_EQ(joinPath(".", "eu"), "eu");
  EXPECT_EQ(joinPath("", "eu"), "eu");
  EXPECT_EQ(joinPath("/tmp/root", "eu"), "/tmp/root/eu");
  EXPECT_EQ(joinPath("/tmp/root/", "eu"), "/tmp/root/eu");
  EXPECT_EQ(fileNamePart("eu/data/x y.pak"), "x y.pak");
  EXPECT_EQ(fileNamePart("x.pak"), "x.pak");
  struct Case {
    const char* path;
    const char* folder;
  };
  for (const Case& c : {Case{"eu/data/x.pak", "eu/data"}, Case{"x.pak", "."}, Case{"/x.pak", "/"},
                        Case{"/tmp/a/", "/tmp/a"}}) {
    EXPECT_EQ(folderOf(c.path), c.folder) << c.path;
  }
}

}  // namespace
}  // namespace kv
