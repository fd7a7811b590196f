#pragma once

#include <string>

namespace kv::platform::linux_backend {

// How many device pixels the desktop gives one of the window's logical
// pixels: GDK_SCALE when it holds a whole number from 1 to 4, else the
// "Xft.dpi" entry of the X resources (xResources, as the X server keeps
// them) over 96, rounded to a quarter and kept within 1 .. 4; else 1.
// Pure; any thread.
[[nodiscard]] double desktopScaleFrom(const std::string& gdkScale, const std::string& xResources);

}  // namespace kv::platform::linux_backend
