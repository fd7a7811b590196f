#include "archive/archive_path.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

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

// Why one segment of a name is not safe; "" when it is.
std::string segmentProblem(std::string_view segment) {
  if (segment.empty()) return "it has an empty part between two '/' or at an end";
  if (segment == "." || segment == "..") return "it has a '" + std::string(segment) + "' part";
  if (segment.back() == '.') return "'" + std::string(segment) + "' ends in a dot, which Windows drops";
  if (segment.back() == ' ') return "'" + std::string(segment) + "' ends in a space, which Windows drops";
  if (isReservedDeviceName(segment)) {
    return "'" + std::string(segment) + "' is the device " + upperAscii(segment.substr(0, segment.find('.'))) +
           " on Windows";
  }
  return {};
}

}  // namespace

std::string entryNameProblem(std::string_view name) {
  if (name.empty()) return "it is empty";
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      return std::string("it holds the control character 0x") + kHex[byte >> 4] + kHex[byte & 0xF];
    }
    if (c == '\\' || c == ':') return std::string("it holds '") + c + "'";
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = name.find('/', start);
    const std::string_view segment =
        name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (std::string problem = segmentProblem(segment); !problem.empty()) return problem;
    if (slash == std::string_view::npos) return {};
    start = slash + 1;
  }
}

bool isSafeEntryName(std::string_view name) { return entryNameProblem(name).empty(); }

}  // namespace kv::archive
