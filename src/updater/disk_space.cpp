#include "updater/disk_space.h"

#include <cstdio>

#include "base/path_text.h"
#include "platform/file_system.h"
#include "updater/download_resume.h"

namespace kv::updater {

std::uint64_t bytesToFetch(const std::vector<FetchItem>& items) {
  std::uint64_t total = 0;
  for (const FetchItem& item : items) {
    if (!item.expectedSize || *item.expectedSize <= 0) continue;
    std::uint64_t size = static_cast<std::uint64_t>(*item.expectedSize);
    // Only a temporary with its record is continued; any other starts over.
    if (platform::pathKind(downloadRecordPath(item.partPath)) == platform::PathKind::File) {
      const std::uint64_t held = platform::regularFileSizeAt(item.partPath).value_or(0);
      size = held < size ? size - held : 0;
    }
    total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
  }
  return total;
}

std::string diskSizeText(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  // Rounded to one decimal, 1023.96 KB reads "1.0 MB", not "1024.0 KB".
  while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::optional<std::string> diskSpaceShortage(const std::string& serverDir, const std::string& serverName,
                                             std::uint64_t needed) {
  if (needed == 0) return std::nullopt;
  // A first install asks before the server folder exists.
  std::string folder = serverDir;
  for (int up = 0; up < 64 && platform::targetKind(folder) != platform::PathKind::Folder; ++up) {
    const std::string above = folderOf(folder);
    if (above == folder) break;
    folder = above;
  }
  const std::optional<std::uint64_t> available = platform::freeSpaceAt(folder);
  if (!available || needed <= *available) return std::nullopt;
  return "Not enough disk space: " + diskSizeText(needed) + " needed in " + serverName + ", " +
         diskSizeText(*available) + " free";
}

}  // namespace kv::updater
