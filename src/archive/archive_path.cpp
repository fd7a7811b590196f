#include "archive/archive_path.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace kv::archive {

std::string joinArchivePath(std::initializer_list<std::string_view> pieces) {
  std::string joined;
  bool first = true;
  for (std::string_view piece : pieces) {
    if (!first) joined += '/';
    joined += piece;
    first = false;
  }
  return joined;
}

namespace {

std::string upperAscii(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
  return upper;
}

// Windows opens a device for these base names whatever the extension.
bool isReservedDeviceName(std::string_view segment) {
  const std::string base = upperAscii(segment.substr(0, segment.find('.')));
  static constexpr std::array<std::string_view, 4> kFixed = {"CON", "PRN", "AUX", "NUL"};
  if (std::find(kFixed.begin(), kFixed.end(), base) != kFixed.end()) return true;
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' &&
         base[3] <= '9';
}

bool isSafeSegment(std::string_view segment) {
  if (segment.empty() || segment == "." || segment == "..") return false;
  if (segment.back() == '.' || segment.back() == ' ') return false;
  return !isReservedDeviceName(segment);
}

}  // namespace

bool isSafeEntryName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\' || c == ':') return false;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = name.find('/', start);
    const std::string_view segment =
        name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!isSafeSegment(segment)) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

}  // namespace kv::archive
