#include "ui/text_fit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/launcher_version.h"

namespace kv::ui {
namespace {

// 6 pixels per character (a UTF-8 sequence counts once), "W" 12, so cuts do
// not fall on multiples of one width.
int measure(const std::string& text) {
  int width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0u) == 0x80u) continue;
    width += c == 'W' ? 12 : 6;
  }
  return width;
}

TEST(TextFit, FitText) {
  struct Case {
    const char* name;
    std::string text;
    int width;
    FitSide keep;
    std::string expected;
  };
  const Case cases[] = {
      {"fits", "abcdef", 36, FitSide::Beginning, "abcdef"},
      {"one pixel short", "abcdef", 35, FitSide::Beginning, "ab..."},
      {"wide and narrow letters", "WWiiWW", 45, FitSide::Beginning, "WW..."},
      {"space before the cut dropped", "ab cdefgh", 40, FitSide::Beginning, "ab..."},
      {"only the ellipsis fits", "abcdef", 20, FitSide::Beginning, "..."},
      {"not even the ellipsis", "abcdef", 17, FitSide::Beginning, ""},
      {"negative width", "abcdef", -5, FitSide::Beginning, ""},
      {"empty text", "", 0, FitSide::Beginning, ""},
      {"never half a character", "a\xC3\xA4\xC3\xB6\xC3\xBCxy", 30, FitSide::Beginning,
       "a\xC3\xA4..."},
      {"end kept", "/home/player/.vandrel/eu/config", 90, FitSide::End, "...el/eu/config"},
      {"end kept, space after the cut dropped", "abcdef gh", 40, FitSide::End, "...gh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fitted = fitText(c.text, c.width, measure, c.keep);
    EXPECT_EQ(fitted, c.expected);
    EXPECT_LE(measure(fitted), std::max(c.width, 0));
  }
}

TEST(TextFit, StatusLineKeepsPercentAndSpeed) {
  const std::string download = "Downloading: bigpack1.pak (25%, 4159 KB/s)";  // 42 characters
  struct Case {
    const char* name;
    std::string text;
    int width;
    std::string expected;
  };
  const Case cases[] = {
      {"fits", download, 252, download},
      {"name shortened", download, 216, "Downloading: big... (25%, 4159 KB/s)"},
      {"name down to the ellipsis", download, 198, "Downloading: ... (25%, 4159 KB/s)"},
      {"no room for the name: end shortened", download, 150, "Downloading: bigpack1...."},
      {"name with brackets of its own", "Downloading: a (1).pak (5%, 9 KB/s)", 198,
       "Downloading: a (1... (5%, 9 KB/s)"},
      {"no bracketed part: cut between words", "Failed to download the file list of the server", 120,
       "Failed to..."},
      {"one long word", "Failed_to_download_the_file_list", 120, "Failed_to_downloa..."},
      {"name inside the sentence", "Connection failed (data/fonts/RavidIzuz.ttf) after 3 attempts", 294,
       "Connection failed (...dIzuz.ttf) after 3 attempts"},
      {"name inside, then figures", "Connection failed (data/big/file123.dat), retrying... (2/3)", 294,
       "Connection failed (...123.dat), retrying... (2/3)"},
      {"no room for the name inside: cut between words",
       "Connection failed (data/big/file123.dat) after 3 attempts", 150, "Connection failed..."},
      {"no prefix", "bigpack1.pak (25%, 4159 KB/s)", 150, "bigpa... (25%, 4159 KB/s)"},
      {"failed download keeps its words", "Downloading: failed: bigpack1.pak (25%)", 198,
       "Downloading: failed: big... (25%)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fitted = fitStatusLine(c.text, c.width, measure);
    EXPECT_EQ(fitted, c.expected);
    EXPECT_LE(measure(fitted), c.width);
  }
}

// Whatever the renderer name and the width, the three texts stay inside the
// line's box, apart from each other, and each fits its own box.
TEST(TextFit, BottomLineTextsNeverOverlap) {
  const std::string credit = "Made for Vandrel";           // 96 px
  const std::string version = kVersionLine;  // 138 px
  const std::string renderers[] = {"", "DirectX", "OpenGL 4.5 (Compatibility Profile) Mesa 22.3.6",
                                   std::string(60, 'W'), std::string(300, 'i')};
  for (const int width : {508, 400, 300, 250, 140, 100, 20, 0}) {
    for (const std::string& renderer : renderers) {
      SCOPED_TRACE("width " + std::to_string(width) + ", renderer of " +
                   std::to_string(renderer.size()));
      const platform::Rect box{5, 302, width, 20};
      const BottomLineLayout line = layoutBottomLine(box, renderer, credit, version, measure);
      const PlacedText* order[] = {&line.renderer, &line.credit, &line.version};
      int previousRight = box.x;
      for (const PlacedText* placed : order) {
        if (placed->text.empty()) continue;
        EXPECT_LE(measure(placed->text), placed->box.width);
        EXPECT_GE(placed->box.x, previousRight);
        EXPECT_EQ(placed->box.y, box.y);
        EXPECT_EQ(placed->box.height, box.height);
        previousRight = placed->box.x + placed->box.width + kBottomLineGap;
      }
      EXPECT_LE(previousRight - kBottomLineGap, box.x + std::max(width, 0));
    }
  }
}

TEST(TextFit, BottomLineRendererGivesWayFirst) {
  const platform::Rect box{5, 302, 508, 20};
  const std::string credit = "Made for Vandrel";
  const std::string version = kVersionLine;
  // The window's own line: credit centred and version at the right, whole;
  // a long renderer name is cut before the credit.
  const BottomLineLayout line =
      layoutBottomLine(box, std::string(60, 'W'), credit, version, measure);
  EXPECT_EQ(line.credit.text, credit);
  EXPECT_EQ(line.credit.box.x, 5 + (508 - 96) / 2);
  EXPECT_EQ(line.version.text, version);
  EXPECT_EQ(line.version.box.x + line.version.box.width, 513);
  EXPECT_EQ(line.renderer.text, std::string(15, 'W') + "...");
  EXPECT_EQ(line.renderer.box.x, 5);
  // A short name stays whole.
  EXPECT_EQ(layoutBottomLine(box, "DirectX", credit, version, measure).renderer.text, "DirectX");
  // Without room for the centred credit it moves left of the version and
  // the renderer name goes.
  const BottomLineLayout narrow = layoutBottomLine({0, 0, 250, 20}, "DirectX", credit, version, measure);
  EXPECT_EQ(narrow.credit.text, credit);
  EXPECT_EQ(narrow.credit.box.x + narrow.credit.box.width + kBottomLineGap, narrow.version.box.x);
  EXPECT_EQ(narrow.renderer.text, "");
}

}  // namespace
}  // namespace kv::ui
