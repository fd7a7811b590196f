#include "platform/linux/display_scale.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kv::platform::linux_backend
