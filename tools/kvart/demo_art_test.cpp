#include "demo_art.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>

#include "base/launcher_files.h"
#include "support/temp_dir.h"
#include "ui/widget_table.h"

namespace kv::art {
namespace {

struct Png {
  int width = 0, height = 0;
  cairo_surface_t* s = nullptr;
  explicit Png(const std::string& path) {
    s = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
      width = cairo_image_surface_get_width(s);
      height = cairo_image_surface_get_height(s);
    }
  }
  ~Png() { cairo_surface_destroy(s); }
  std::uint32_t at(int x, int y) const {
    std::uint32_t v = 0;
    std::memcpy(&v, cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s) + x * 4, 4);
    return v & 0xFFFFFF;
  }
};

class DemoArtTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new kv::test::TempDir();
    std::string error;
    ASSERT_TRUE(writeDemoArt(*dir / "eu", ArtLabel::EU, error)) << error;
    ASSERT_TRUE(writeDemoArt(*dir / "us", ArtLabel::US, error)) << error;
  }
  static void TearDownTestSuite() { delete dir; }
  static kv::test::TempDir* dir;
};
kv::test::TempDir* DemoArtTest::dir = nullptr;

TEST_F(DemoArtTest, EveryWidgetPictureIsAStripOfFourDifferentFrames) {
  // Sizes follow the widget table: four frames of the widget's size.
  std::set<std::string> tablePaths;
  for (const auto& def : ui::widgetTable()) {
    tablePaths.insert(def.image);
    Png png(*dir / ("eu" + std::string(def.image)));
    EXPECT_EQ(png.width, def.width * 4) << def.image;
    EXPECT_EQ(png.height, def.height) << def.image;
    if (def.icon[0] != '\0') {
      tablePaths.insert(def.icon);
      Png icon(*dir / ("eu" + std::string(def.icon)));
      EXPECT_EQ(icon.width, 96);
      EXPECT_EQ(icon.height, 24);
    }
  }
  tablePaths.insert(kOptionsOnImagePath);
  tablePaths.insert(kSoundOffImagePath);
  for (const PictureSpec& picture : pictureSpecs()) {
    EXPECT_TRUE(tablePaths.count(picture.path)) << picture.path;
    Png png(*dir / ("eu" + picture.path));
    ASSERT_EQ(png.width, picture.frameWidth * 4) << picture.path;
    std::set<std::uint32_t> colours;
    for (int k = 0; k < 4; ++k) {
      const std::uint32_t c = png.at(picture.frameWidth * k + 3, 3);
      EXPECT_EQ(c, picture.colours[k]) << picture.path << " frame " << k;
      colours.insert(c);
    }
    EXPECT_EQ(colours.size(), 4u) << picture.path;
  }
  EXPECT_EQ(pictureSpecs().size(), tablePaths.size());
}

TEST_F(DemoArtTest, BackgroundDiffersPerServer) {
  Png eu(*dir / "eu/data/images/updater.png");
  Png us(*dir / "us/data/images/updater.png");
  EXPECT_EQ(eu.width, 518);
  EXPECT_EQ(eu.height, 324);
  EXPECT_EQ(eu.at(0, 0), backgroundColour(ArtLabel::EU));
  EXPECT_EQ(us.at(0, 0), backgroundColour(ArtLabel::US));
  EXPECT_NE(eu.at(0, 0), us.at(0, 0));
}

// The contrast ratio of two opaque 0xRRGGBB colours, as accessibility
// guidelines define it (1 to 21).
double contrast(std::uint32_t a, std::uint32_t b) {
  const auto luminance = [](std::uint32_t c) {
    double sum = 0;
    const double weights[3] = {0.2126, 0.7152, 0.0722};
    for (int i = 0; i < 3; ++i) {
      const double v = ((c >> (16 - 8 * i)) & 0xFF) / 255.0;
      sum += weights[i] * (v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
    }
    return sum;
  };
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Every text colour the launcher draws on the art reads at 4.5 : 1 or better
// on the pixels under it, for both servers' art.
TEST_F(DemoArtTest, TextColoursReadOnWhatLiesUnderThem) {
  const auto& table = ui::widgetTable();
  struct Case {
    const char* what;
    std::string picture;
    int x, y;
    std::uint32_t text;
  };
  for (const char* server : {"eu", "us"}) {
    const std::string images = *dir / (std::string(server) + "/data/images/");
    const Case cases[] = {
        {"status line, left", "updater.png", 16, 283, 0x000000},
        {"status line, right", "updater.png", 307, 299, 0x000000},
        {"bottom line", "updater.png", 260, 312, 0x787878},
        {"bottom line, left end", "updater.png", 6, 320, 0x787878},
        {"Play", "big_button.png", 188 + 94, 35, table[ui::kPlayWidget].labelColour & 0xFFFFFF},
        {"Play disabled", "big_button.png", 94, 35,
         ui::labelColourFor(table[ui::kPlayWidget].labelColour, ui::WidgetState::Disabled) & 0xFFFFFF},
        {"Sign up", "button.png", 115 + 57, 14, table[ui::kSignUpWidget].labelColour & 0xFFFFFF},
        {"System tab", "button.png", 115 + 57, 14, table[ui::kSystemTabWidget].labelColour & 0xFFFFFF},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(server) + ": " + c.what);
      Png png(images + c.picture);
      ASSERT_GT(png.width, c.x);
      EXPECT_GE(contrast(c.text, png.at(c.x, c.y)), 4.5);
    }
  }
}

TEST_F(DemoArtTest, FontAndSounds) {
  EXPECT_EQ(kv::test::readFile(*dir / "eu/data/fonts/RavidIzuz.ttf"), kv::test::readFile(kSourceFont));
  const std::string click = kv::test::readFile(*dir / "eu/data/sounds/click.wav");
  ASSERT_GT(click.size(), 44u);
  EXPECT_EQ(click.substr(0, 4), "RIFF");
  EXPECT_EQ(click.substr(8, 8), "WAVEfmt ");
  const std::string mp3 = kv::test::readFile(*dir / "eu/data/sounds/music.mp3");
  ASSERT_GT(mp3.size(), 1000u);
  const bool id3 = mp3.substr(0, 3) == "ID3";
  const bool sync = static_cast<unsigned char>(mp3[0]) == 0xFF && (static_cast<unsigned char>(mp3[1]) & 0xE0) == 0xE0;
  EXPECT_TRUE(id3 || sync);
  EXPECT_FALSE(kv::test::exists(*dir / "eu/data/sounds/music_source.wav"));
}

TEST(DemoArt, UnwritableFolderIsReported) {
  kv::test::TempDir dir;
  kv::test::writeFile(dir / "file", "x");
  std::string error;
  EXPECT_FALSE(writeDemoArt(dir / "file/eu", ArtLabel::EU, error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace kv::art
