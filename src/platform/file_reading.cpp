#include "platform/file_system.h"

namespace kv::platform {

std::optional<std::string> readRegularFile(const std::string& path, std::uint64_t maxBytes) {
  const File file = openForReading(path);
  if (!file.ok()) return std::nullopt;
  const std::optional<std::uint64_t> size = file.regularFileSize();
  if (!size || *size > maxBytes) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(*size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::int64_t got = file.readAt(done, bytes.data() + done, bytes.size() - done);
    if (got < 0) return std::nullopt;
    if (got == 0) break;  // the file shrank meanwhile
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

bool makeFolders(const std::string& path) {
  // Each folder from the top down; one that exists already (or cannot be
  // made) is passed over, and the answer is what stands at path at the end.
  for (std::size_t end = path.find_first_of("/\\", 1); end != std::string::npos;
       end = path.find_first_of("/\\", end + 1)) {
    if (path[end - 1] != '/' && path[end - 1] != '\\' && path[end - 1] != ':') {
      (void)makeFolder(path.substr(0, end));
    }
  }
  (void)makeFolder(path);
  return isFolder(path);
}

}  // namespace kv::platform
