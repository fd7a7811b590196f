#include "figures.h"

#include <cmath>
#include <cstdio>

namespace kv::tools {
namespace {

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

std::string byteText(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const double value = static_cast<double>(bytes);
  if (bytes < 1024 * 1024) return fixed(value / 1024.0, 1) + " KB";
  if (bytes < 1024LL * 1024 * 1024) return fixed(value / (1024.0 * 1024.0), 1) + " MB";
  return fixed(value / (1024.0 * 1024.0 * 1024.0), 2) + " GB";
}

std::string durationText(double seconds) {
  if (!(seconds >= 0.0)) seconds = 0.0;
  if (seconds < 10.0) return fixed(seconds, 1) + " s";
  const auto whole = static_cast<long long>(std::llround(seconds));
  if (whole < 60) return std::to_string(whole) + " s";
  if (whole < 3600) return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
  return std::to_string(whole / 3600) + " h " + std::to_string(whole % 3600 / 60) + " min";
}

}  // namespace kv::tools
