#include "updater/report_texts.h"

#include <gtest/gtest.h>

namespace kv::updater {
namespace {

// Characters (code points) of a UTF-8 text.
std::size_t characters(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u ? 1 : 0;
  return n;
}

TEST(ReportTexts, ExactTexts) {
  EXPECT_EQ(retryText("data/x y.pak", 1, 3), "Connection failed (data/x y.pak), retrying... (1/3)");
  EXPECT_EQ(retryText("data/x y.pak", 2, 3), "Connection failed (data/x y.pak), retrying... (2/3)");
  EXPECT_EQ(attemptsFailedText("data/x y.pak", 3), "Connection failed (data/x y.pak) after 3 attempts");
  EXPECT_EQ(removeFailedText("a.pak"), "Failed to remove existing file: a.pak");
  EXPECT_EQ(extractFailedText("vdclient_gl_x64.zip"),
            "Failed to extract: vdclient_gl_x64.zip. Make sure the file is not in use.");
  EXPECT_EQ(downloadingText("x y.pak", 42, 1234.5), "Downloading: x y.pak (42%, 1234 KB/s)");
  EXPECT_EQ(downloadingText("x.pak", 100, 0.0), "Downloading: x.pak (100%, 0 KB/s)");
}

TEST(ReportTexts, PathsAreTextNotFormats) {
  EXPECT_EQ(retryText("%s%n%d/100%.pak", 1, 3), "Connection failed (%s%n%d/100%.pak), retrying... (1/3)");
  EXPECT_EQ(downloadingText("%s%%.pak", 5, 1.0), "Downloading: %s%%.pak (5%, 1 KB/s)");
}

TEST(ReportTexts, CutTo255CharactersNeverInsideOne) {
  const std::string longPath(600, 'a');
  const std::string cut = retryText(longPath, 1, 3);
  EXPECT_EQ(cut.size(), 255u);
  EXPECT_EQ(cut.substr(0, 19), "Connection failed (");

  std::string accented;
  for (int i = 0; i < 300; ++i) accented += "\xC3\xA9";  // é
  const std::string text = attemptsFailedText(accented, 3);
  EXPECT_EQ(characters(text), 255u);
  EXPECT_EQ(text.size(), 19u + 2u * (255u - 19u));
  EXPECT_EQ(displayText(text, 1000), text) << "the cut left a broken character";
}

TEST(ReportTexts, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  struct Case {
    std::string input;
    std::string shown;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"musique/\xC3\xA9t\xC3\xA9.ogg", "musique/\xC3\xA9t\xC3\xA9.ogg"},
      {"a\xFF" "b", "a" + r + "b"},
      {"\xC3", r},                      // cut sequence
      {"\xC0\xAF", r + r},              // overlong "/"
      {"\xED\xA0\x80", r + r + r},      // surrogate
      {"\xF0\x9F\x8E\xAE", "\xF0\x9F\x8E\xAE"},  // 4-byte character
  };
  for (const Case& c : cases) EXPECT_EQ(displayText(c.input, 255), c.shown);
}

}  // namespace
}  // namespace kv::updater
