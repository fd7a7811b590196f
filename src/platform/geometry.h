#pragma once

#include <cstdint>

namespace kv::platform {

// A rectangle in client pixels: left/top inclusive, right/bottom exclusive.
struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  // True when (px, py) lies inside: x <= px < x + width, y <= py < y + height.
  [[nodiscard]] bool contains(int px, int py) const {
    return px >= x && px < x + width && py >= y && py < y + height;
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// A colour as 0xAARRGGBB.
using Argb = std::uint32_t;

}  // namespace kv::platform
