#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/linux/cairo_canvas.h"
#include "platform/linux/linux_platform.h"
#include "support/temp_dir.h"

namespace kv::platform::linux_backend {
namespace {

constexpr const char* kFontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// Writes a PNG strip of frames side by side, each frame filled with its own
// opaque colour.
void writeStrip(const std::string& path, int frameWidth, int height,
                const std::vector<std::uint32_t>& colours) {
  cairo_surface_t* s = cairo_image_surface_create(
      CAIRO_FORMAT_ARGB32, frameWidth * static_cast<int>(colours.size()), height);
  cairo_t* cr = cairo_create(s);
  for (std::size_t k = 0; k < colours.size(); ++k) {
    const std::uint32_t c = colours[k];
    cairo_set_source_rgb(cr, ((c >> 16) & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0,
                         (c & 0xFF) / 255.0);
    cairo_rectangle(cr, frameWidth * static_cast<double>(k), 0, frameWidth, height);
    cairo_fill(cr);
  }
  cairo_destroy(cr);
  ASSERT_EQ(cairo_surface_write_to_png(s, path.c_str()), CAIRO_STATUS_SUCCESS);
  cairo_surface_destroy(s);
}

std::uint32_t pixel(CairoFrame& frame, int x, int y) {
  const unsigned char* p = frame.pixels();
  std::uint32_t v = 0;
  std::memcpy(&v, p + static_cast<std::ptrdiff_t>(y) * frame.stride() + x * 4, 4);
  return v;
}

TEST(CairoFrame, StartsBlackAndFillsExactColours) {
  CairoFrame frame(518, 324);
  Canvas& canvas = frame.canvas();
  canvas.fillRect({10, 10, 5, 5}, 0xFFFFA500);
  ASSERT_NE(frame.pixels(), nullptr);
  EXPECT_EQ(pixel(frame, 0, 0), 0xFF000000u);
  EXPECT_EQ(pixel(frame, 10, 10), 0xFFFFA500u);
  EXPECT_EQ(pixel(frame, 14, 14), 0xFFFFA500u);
  EXPECT_EQ(pixel(frame, 15, 14), 0xFF000000u);
  EXPECT_EQ(frame.width(), 518);
  EXPECT_EQ(frame.height(), 324);
  EXPECT_GE(frame.stride(), 518 * 4);
  // The next paint starts from black again.
  frame.canvas();
  EXPECT_EQ(pixel(frame, 10, 10), 0xFF000000u);
}

TEST(CairoFrame, TranslucentFillBlendsOverWhatIsBelow) {
  CairoFrame frame(20, 20);
  Canvas& canvas = frame.canvas();
  canvas.fillRect({0, 0, 20, 20}, 0xFFFFFFFF);
  canvas.fillRect({0, 0, 10, 10}, 0xCCFFA500);
  const std::uint32_t p = pixel(frame, 5, 5);
  EXPECT_EQ(p >> 24, 0xFFu);
  EXPECT_EQ((p >> 16) & 0xFF, 0xFFu);
  EXPECT_NEAR(static_cast<int>((p >> 8) & 0xFF), 0xA5 * 0.8 + 255 * 0.2, 2);
  EXPECT_NEAR(static_cast<int>(p & 0xFF), 255 * 0.2, 2);
}

TEST(CairoGraphics, DrawsOneFrameOfAStrip) {
  kv::test::TempDir dir;
  const std::string path = dir / "strip.png";
  writeStrip(path, 32, 16, {0xFF808080, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000});
  CairoGraphics graphics;
  auto image = graphics.loadImage(path);
  ASSERT_TRUE(image->ok());
  EXPECT_EQ(image->width(), 128);
  EXPECT_EQ(image->height(), 16);
  for (int k = 0; k < 4; ++k) {
    CairoFrame frame(100, 50);
    frame.canvas().drawImage(*image, {32 * k, 0, 32, 16}, {40, 20, 32, 16});
    const std::uint32_t expected[] = {0xFF808080, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000};
    EXPECT_EQ(pixel(frame, 40, 20), expected[k]) << k;
    EXPECT_EQ(pixel(frame, 71, 35), expected[k]) << k;
    EXPECT_EQ(pixel(frame, 72, 20), 0xFF000000u) << k;  // nothing of the next frame
    EXPECT_EQ(pixel(frame, 39, 20), 0xFF000000u) << k;
  }
}

TEST(CairoGraphics, BackgroundIsStretchedToTheCorners) {
  kv::test::TempDir dir;
  writeStrip(dir / "bg.png", 100, 50, {0xFF204060});
  CairoGraphics graphics;
  auto image = graphics.loadImage(dir / "bg.png");
  CairoFrame frame(518, 324);
  frame.canvas().drawImage(*image, {0, 0, 100, 50}, {0, 0, 518, 324});
  for (auto [x, y] : {std::pair{0, 0}, {517, 0}, {0, 323}, {517, 323}, {259, 162}}) {
    EXPECT_EQ(pixel(frame, x, y), 0xFF204060u) << x << "," << y;
  }
}

TEST(CairoGraphics, BrokenPicturesAndTextNeverSpoilTheFrame) {
  kv::test::TempDir dir;
  kv::test::writeFile(dir / "broken.png", "not a png at all");
  CairoGraphics graphics;
  auto missing = graphics.loadImage(dir / "missing.png");
  auto broken = graphics.loadImage(dir / "broken.png");
  EXPECT_FALSE(missing->ok());
  EXPECT_FALSE(broken->ok());
  EXPECT_EQ(missing->width(), 0);
  auto font = graphics.loadFont(kFontFile, 10.0f);
  ASSERT_TRUE(font);
  CairoFrame frame(100, 50);
  Canvas& canvas = frame.canvas();
  canvas.drawImage(*missing, {0, 0, 10, 10}, {0, 0, 10, 10});
  canvas.drawImage(*broken, {0, 0, 10, 10}, {0, 0, 10, 10});
  canvas.drawText(std::string("bad \xff\xfe utf8 \xc3"), *font, 0xFFFFFFFF, {0, 0, 100, 20},
                  HAlign::Centre, VAlign::Top);
  canvas.drawTextAt(std::string("\xed\xa0\x80"), *font, 0xFFFFFFFF, 0, 20);
  canvas.fillRect({0, 0, 0, 0}, 0xFFFFFFFF);
  canvas.fillEllipse({0, 0, 0, 0}, 0xFFFFFFFF);
  canvas.fillRect({90, 40, 10, 10}, 0xFF00FF00);
  EXPECT_EQ(pixel(frame, 95, 45), 0xFF00FF00u);
}

TEST(CairoGraphics, MissingFontFileGivesNoFont) {
  CairoGraphics graphics;
  EXPECT_EQ(graphics.loadFont("/nonexistent/RavidIzuz.ttf", 10.0f), nullptr);
  kv::test::TempDir dir;
  kv::test::writeFile(dir / "junk.ttf", "junk");
  EXPECT_EQ(graphics.loadFont(dir / "junk.ttf", 10.0f), nullptr);
}

// The bounding box of the pixels that differ from black.
platform::Rect inkBox(CairoFrame& frame) {
  int minX = frame.width(), minY = frame.height(), maxX = -1, maxY = -1;
  for (int y = 0; y < frame.height(); ++y) {
    for (int x = 0; x < frame.width(); ++x) {
      if (pixel(frame, x, y) == 0xFF000000u) continue;
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
      minY = std::min(minY, y);
      maxY = std::max(maxY, y);
    }
  }
  return {minX, minY, maxX - minX + 1, maxY - minY + 1};
}

TEST(CairoGraphics, TextIsPlacedByAlignment) {
  CairoGraphics graphics;
  auto font = graphics.loadFont(kFontFile, 14.0f);
  ASSERT_TRUE(font);
  EXPECT_EQ(font->pointSize(), 14.0f);
  const platform::Rect box{100, 100, 188, 71};
  {
    CairoFrame frame(400, 300);
    frame.canvas().drawText("Play", *font, 0xFFFFFFFF, box, HAlign::Centre, VAlign::Centre);
    const platform::Rect ink = inkBox(frame);
    ASSERT_GT(ink.width, 10);
    // 14 pt at 96 dpi: capital letters about 13 pixels high.
    EXPECT_GE(ink.height, 11);
    EXPECT_LE(ink.height, 20);
    EXPECT_NEAR(ink.x + ink.width / 2.0, box.x + box.width / 2.0, 3.0);
    EXPECT_NEAR(ink.y + ink.height / 2.0, box.y + box.height / 2.0, 5.0);
  }
  {
    CairoFrame frame(400, 300);
    frame.canvas().drawText("Version", *font, 0xFFFFFFFF, box, HAlign::Right, VAlign::Top);
    const platform::Rect ink = inkBox(frame);
    EXPECT_LE(ink.x + ink.width, box.x + box.width + 1);
    EXPECT_GE(ink.x + ink.width, box.x + box.width - 3);
    EXPECT_GE(ink.y, box.y);
    EXPECT_LE(ink.y, box.y + 6);
  }
  {
    CairoFrame frame(400, 300);
    frame.canvas().drawTextAt("Audio", *font, 0xFFFFFFFF, 180, 58);
    const platform::Rect ink = inkBox(frame);
    EXPECT_GE(ink.x, 180);
    EXPECT_LE(ink.x, 183);
    EXPECT_GE(ink.y, 58);
    EXPECT_LE(ink.y, 64);
  }
}

// Long texts in a box wrap at spaces and stay inside the box, so their
// beginning is what shows; a word wider than the box is broken.
TEST(CairoGraphics, TextInABoxWrapsAndNeverLeavesTheBox) {
  CairoGraphics graphics;
  auto font = graphics.loadFont(kFontFile, 10.0f);
  ASSERT_TRUE(font);
  const platform::Rect statusBox{15, 281, 294, 20};
  struct Case {
    std::string text;
    HAlign align;
    std::string firstLine;  // drawn alone, it gives the same top line
  };
  const Case cases[] = {
      {"Downloading: vdclient_gl_x64.zip (45%, 1234 KB/s)", HAlign::Centre,
       "Downloading: vdclient_gl_x64.zip (45%,"},
      {"Connection failed (vdclient_gl_x64.zip) after 3 attempts", HAlign::Centre,
       "Connection failed (vdclient_gl_x64.zip) after 3"},
      {"Extracting: " + std::string(80, 'W'), HAlign::Right, "Extracting:"},
      {std::string(80, 'W'), HAlign::Left, std::string(34, 'W')},
  };
  for (const Case& c : cases) {
    CairoFrame frame(518, 324);
    frame.canvas().drawText(c.text, *font, 0xFFFFFFFF, statusBox, c.align, VAlign::Top);
    const platform::Rect ink = inkBox(frame);
    ASSERT_GT(ink.width, 0) << c.text;
    EXPECT_GE(ink.x, statusBox.x) << c.text;
    EXPECT_GE(ink.y, statusBox.y) << c.text;
    EXPECT_LE(ink.x + ink.width, statusBox.x + statusBox.width) << c.text;
    EXPECT_LE(ink.y + ink.height, statusBox.y + statusBox.height) << c.text;

    CairoFrame alone(518, 324);
    alone.canvas().drawText(c.firstLine, *font, 0xFFFFFFFF, statusBox, c.align, VAlign::Top);
    // The first line's rows, above where a second line could begin.
    int differing = 0;
    for (int y = statusBox.y; y < statusBox.y + 14; ++y) {
      for (int x = 0; x < frame.width(); ++x) differing += pixel(frame, x, y) != pixel(alone, x, y);
    }
    EXPECT_EQ(differing, 0) << c.text;
  }
}

TEST(CairoGraphics, OutlinesLinesAndEllipses) {
  CairoFrame frame(60, 60);
  Canvas& canvas = frame.canvas();
  canvas.fillRect({0, 0, 60, 60}, 0xFFFFFFFF);
  canvas.strokeRect({10, 10, 20, 20}, 0xFF000000);
  EXPECT_EQ(pixel(frame, 10, 10), 0xFF000000u);
  EXPECT_EQ(pixel(frame, 29, 29), 0xFF000000u);
  EXPECT_EQ(pixel(frame, 11, 11), 0xFFFFFFFFu);
  EXPECT_EQ(pixel(frame, 30, 30), 0xFFFFFFFFu);
  canvas.drawLine(0, 50, 40, 50, 2.0f, 0xFF000000);
  EXPECT_EQ(pixel(frame, 20, 49), 0xFF000000u);
  EXPECT_EQ(pixel(frame, 20, 50), 0xFF000000u);
  EXPECT_EQ(pixel(frame, 20, 51), 0xFFFFFFFFu);
  canvas.fillEllipse({40, 0, 8, 8}, 0xFF000000);
  EXPECT_EQ(pixel(frame, 44, 4), 0xFF000000u);
  EXPECT_EQ(pixel(frame, 40, 0), 0xFFFFFFFFu);
}

// At scale 2 the canvas still takes logical pixels: every picture, fill and
// text covers twice the device pixels each way, a frame of a strip exactly
// (nothing of its neighbours at its edges), text at the device's resolution.
TEST(CairoGraphics, AHighDensityFrameDrawsLogicalPixelsAtTheDevicesResolution) {
  kv::test::TempDir dir;
  writeStrip(dir / "strip.png", 32, 16, {0xFF808080, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000});
  CairoGraphics graphics;
  auto image = graphics.loadImage(dir / "strip.png");
  const std::uint32_t colours[] = {0xFF808080, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000};
  CairoFrame frame(100, 50, 2.0);
  EXPECT_EQ(frame.width(), 200);
  EXPECT_EQ(frame.height(), 100);
  for (int round = 0; round < 2; ++round) {  // the second paint draws the kept copies
    for (int k = 0; k < 4; ++k) {
      frame.canvas().drawImage(*image, {32 * k, 0, 32, 16}, {40, 20, 32, 16});
      for (auto [x, y] : {std::pair{80, 40}, {143, 40}, {80, 71}, {143, 71}, {111, 55}}) {
        EXPECT_EQ(pixel(frame, x, y), colours[k]) << k << " at " << x << "," << y;
      }
      EXPECT_EQ(pixel(frame, 144, 40), 0xFF000000u) << k;
      EXPECT_EQ(pixel(frame, 79, 40), 0xFF000000u) << k;
    }
  }
  Canvas& canvas = frame.canvas();
  canvas.fillRect({10, 10, 5, 5}, 0xFFFFA500);
  EXPECT_EQ(pixel(frame, 20, 20), 0xFFFFA500u);
  EXPECT_EQ(pixel(frame, 29, 29), 0xFFFFA500u);
  EXPECT_EQ(pixel(frame, 30, 29), 0xFF000000u);
  EXPECT_EQ(pixel(frame, 19, 20), 0xFF000000u);

  auto font = graphics.loadFont(kFontFile, 14.0f);
  ASSERT_TRUE(font);
  CairoFrame flat(200, 100);
  CairoFrame dense(200, 100, 2.0);
  const platform::Rect box{10, 10, 188, 71};
  flat.canvas().drawText("Play", *font, 0xFFFFFFFF, box, HAlign::Centre, VAlign::Centre);
  dense.canvas().drawText("Play", *font, 0xFFFFFFFF, box, HAlign::Centre, VAlign::Centre);
  const platform::Rect small = inkBox(flat);
  const platform::Rect large = inkBox(dense);
  EXPECT_NEAR(large.width, 2 * small.width, 3);
  EXPECT_NEAR(large.height, 2 * small.height, 3);
  EXPECT_NEAR(large.x + large.width / 2.0, 2 * (box.x + box.width / 2.0), 6.0);
  // Measures stay logical: the same width at both scales, within hinting.
  EXPECT_NEAR(dense.canvas().textWidth("Play", *font), flat.canvas().textWidth("Play", *font), 1);
}

}  // namespace
}  // namespace kv::platform::linux_backend
