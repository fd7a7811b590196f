#include "archive/file_crc.h"

#include <zlib.h>

#include <vector>

#include "platform/file_system.h"

namespace kv::archive {

std::optional<std::uint32_t> fileCrc32(const std::string& path) {
  if (platform::pathKind(path) != platform::PathKind::File) return std::nullopt;
  const platform::File file = platform::openForReading(path);
  if (!file.ok() || !file.regularFileSize()) return std::nullopt;
  std::vector<char> buffer(std::size_t{1} << 20);
  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t offset = 0;
  for (;;) {
    const std::int64_t n = file.readAt(offset, buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return static_cast<std::uint32_t>(crc);
}

}  // namespace kv::archive
