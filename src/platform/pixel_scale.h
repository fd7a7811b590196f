#pragma once

#include <algorithm>
#include <cmath>

#include "platform/geometry.h"

namespace kv::platform {

// The window lays out and hit-tests in logical pixels; on a high-density
// screen each is scale device pixels wide and high. Both backends map with
// these, so a click lands on the same widget on every system. Pure; any
// thread.

// The dots per inch of a desktop at scale 1.
inline constexpr double kBaseDotsPerInch = 96.0;
// The largest scale the window takes: beyond it the window would not fit
// the screens that report such densities.
inline constexpr double kMaxPixelScale = 4.0;

// The scale of a desktop of dpi dots per inch: dpi / 96 rounded to a
// quarter and kept within 1 .. 4; 1 for a value that is not a positive
// number.
[[nodiscard]] inline double scaleForDpi(double dpi) {
  if (!(dpi > 0)) return 1.0;
  const double quarters = std::round(dpi / kBaseDotsPerInch * 4.0) / 4.0;
  return std::clamp(quarters, 1.0, kMaxPixelScale);
}

// The device pixel edge of a logical edge (a position or a size from 0):
// the nearest, the lower one at a tie, so the centre of every device pixel
// lies inside the logical pixel it is drawn for.
[[nodiscard]] inline int toDevice(int logical, double scale) {
  return static_cast<int>(std::ceil(logical * scale - 0.5));
}

// The logical pixel that holds the centre of a device pixel. The device
// pixels toDevice gives a logical pixel all map back to it, and a pointer
// left or above the window (negative) stays outside it.
[[nodiscard]] inline int toLogical(int device, double scale) {
  return static_cast<int>(std::floor((device + 0.5) / scale));
}

// The device pixels of a logical rectangle: its edges mapped one by one, so
// rectangles that touch in logical pixels touch on the device.
[[nodiscard]] inline Rect toDevice(Rect logical, double scale) {
  const int left = toDevice(logical.x, scale);
  const int top = toDevice(logical.y, scale);
  return Rect{left, top, toDevice(logical.x + logical.width, scale) - left,
              toDevice(logical.y + logical.height, scale) - top};
}

}  // namespace kv::platform
