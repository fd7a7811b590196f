#include "demo_art.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>

#include "support/temp_dir.h"
#include "ui/ui_names.h"
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
  tablePaths.insert(ui::kOptionsOnImagePath);
  tablePaths.insert(ui::kSoundOffImagePath);
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
