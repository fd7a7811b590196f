#include "archive/archive_path.h"

#include <gtest/gtest.h>

#include "archive/archive_texts.h"

namespace kv::archive {
namespace {

TEST(JoinArchivePath, JoinsWithOneSlashAndNormalisesNothing) {
  EXPECT_EQ(joinArchivePath({"eu", "data/x.pak"}), "eu/data/x.pak");
  EXPECT_EQ(joinArchivePath({"eu/", "x"}), "eu//x");
  EXPECT_EQ(joinArchivePath({"eu", ""}), "eu/");
  EXPECT_EQ(joinArchivePath({"a", "b", "c"}), "a/b/c");
  EXPECT_EQ(joinArchivePath({"only"}), "only");
  EXPECT_EQ(joinArchivePath({}), "");
}

TEST(IsSafeEntryName, AcceptsPlainRelativeNames) {
  for (const char* name : {"a.txt", "characters/example.kvml", "data/x y.pak", ".hidden", "a..b", "sub/.x",
                           "CONSOLE.txt", "COM0", "LPT10", "\xC3\x86r\xC3\xB8.kvml", "a.b.c"}) {
    EXPECT_TRUE(isSafeEntryName(name)) << name;
  }
}

TEST(IsSafeEntryName, RefusesNamesThatLeaveTheFolderOrAreNotPlainFiles) {
  using namespace std::string_literals;
  for (const std::string& name :
       {""s, "/abs/evil.txt"s, "../x"s, "a/../../x"s, "characters/../../x.txt"s, ".."s, "."s, "./a"s,
        "a/./b"s, "a//b"s, "sub/"s, "C:/Windows/evil.txt"s, "C:x"s, "x.pak:stream"s, "..\\..\\evil.txt"s,
        "a\\b.pak"s, "\\\\srv\\share\\x"s, "a\0b.txt"s, "data/x\x07.pak"s, "tab\tname"s, "del\x7f"s,
        "x.pak."s, "dir /x"s, "CON"s, "data/con.pak"s, "Nul.txt"s, "aux"s, "prn.x"s, "COM1"s, "lpt9.dll"s}) {
    EXPECT_FALSE(isSafeEntryName(name)) << name;
  }
}

TEST(ArchiveTexts, AreTheExactTexts) {
  EXPECT_EQ(kBadZip, "bad zip");
  EXPECT_EQ(kNoEndRecord, "didn't find end of central directory signature");
  EXPECT_EQ(kEntryUnreadable, "file couldn't be read");
  EXPECT_EQ(kOpenForWritingFailed, "Failed to open file for writing: ");
  EXPECT_EQ(kWriteToFileFailed, "Failed to write to file: ");
  EXPECT_EQ(kWriteError, "write error");
  EXPECT_EQ(kZippingErrorPrefix, "Error while zipping: ");
  ASSERT_EQ(kEmptyArchiveImage.size(), 22u);
  EXPECT_EQ(kEmptyArchiveImage.substr(0, 4), "PK\x05\x06");
}

}  // namespace
}  // namespace kv::archive
