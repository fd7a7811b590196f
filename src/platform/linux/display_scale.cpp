#include "platform/linux/display_scale.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "platform/pixel_scale.h"

namespace kv::platform::linux_backend {
namespace {

// The number text holds in full, or nothing (NaN).
double wholeNumber(const std::string& text) {
  if (text.empty()) return std::nan("");
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  while (end != nullptr && (*end == ' ' || *end == '\t')) ++end;
  return end != nullptr && *end == '\0' ? value : std::nan("");
}

}  // namespace

double desktopScaleFrom(const std::string& gdkScale, const std::string& xResources) {
  const double forced = wholeNumber(gdkScale);
  if (forced >= 1 && forced <= kMaxPixelScale && forced == std::floor(forced)) return forced;

  std::istringstream lines(xResources);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string key = "Xft.dpi:";
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    value.erase(0, value.find_first_not_of(" \t"));
    return scaleForDpi(wholeNumber(value));
  }
  return 1.0;
}

}  // namespace kv::platform::linux_backend
