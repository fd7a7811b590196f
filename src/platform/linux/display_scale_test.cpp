#include "platform/linux/display_scale.h"

#include <gtest/gtest.h>

#include "platform/pixel_scale.h"

namespace kv::platform::linux_backend {
namespace {

TEST(DesktopScale, FromGdkScaleThenXftDpi) {
  struct Case {
    const char* gdkScale;
    const char* resources;
    double scale;
  };
  const Case cases[] = {
      {"", "", 1.0},
      {"2", "", 2.0},
      {"2", "Xft.dpi:\t144\n", 2.0},  // GDK_SCALE wins
      {"", "Xft.antialias:\t1\nXft.dpi:\t192\nXft.hinting:\t1\n", 2.0},
      {"", "Xft.dpi:\t144\n", 1.5},
      {"", "Xft.dpi: 120", 1.25},
      {"", "Xft.dpi:\t96\n", 1.0},
      {"", "Xft.dpi:\t72\n", 1.0},      // never below one device pixel
      {"", "Xft.dpi:\t2000\n", 4.0},    // nor beyond four
      {"", "Xft.dpi:\tlarge\n", 1.0},
      {"", "Xft.dpi:\t-192\n", 1.0},
      {"", "Other.Xft.dpi:\t192\n", 1.0},
      {"1.5", "", 1.0},                 // GDK_SCALE takes whole numbers only
      {"0", "Xft.dpi:\t192\n", 2.0},
      {"9", "", 1.0},
      {"two", "", 1.0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(desktopScaleFrom(c.gdkScale, c.resources), c.scale)
        << "GDK_SCALE=" << c.gdkScale << " resources=" << c.resources;
  }
}

// Both backends map the pointer with these: every device pixel of a logical
// pixel (a widget's first and last column included) maps back to it, at
// the scales the desktops offer, and a pointer just outside the window
// stays outside.
TEST(PixelScale, DevicePixelsMapBackToTheirLogicalPixel) {
  struct Case {
    double dpi;
    double scale;
  };
  const Case cases[] = {{96, 1.0}, {120, 1.25}, {144, 1.5}, {168, 1.75}, {192, 2.0}, {288, 3.0}};
  for (const Case& c : cases) {
    const double scale = platform::scaleForDpi(c.dpi);
    ASSERT_DOUBLE_EQ(scale, c.scale) << c.dpi;
    for (int x = 0; x < 518; ++x) {
      const int first = platform::toDevice(x, scale);
      const int end = platform::toDevice(x + 1, scale);
      ASSERT_LT(first, end) << "scale " << scale << ", x " << x;
      for (int d = first; d < end; ++d) ASSERT_EQ(platform::toLogical(d, scale), x) << scale << " " << d;
    }
    EXPECT_EQ(platform::toLogical(-1, scale), -1) << scale;
    EXPECT_EQ(platform::toLogical(platform::toDevice(518, scale), scale), 518) << scale;
    // The window's rectangles on the device: a widget and its right-hand
    // neighbour touch without a gap or an overlap.
    const platform::Rect left = platform::toDevice(platform::Rect{101, 31, 37, 23}, scale);
    const platform::Rect right = platform::toDevice(platform::Rect{138, 31, 20, 23}, scale);
    EXPECT_EQ(left.x + left.width, right.x) << scale;
  }
}

}  // namespace
}  // namespace kv::platform::linux_backend
