#include "file_hash.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/sha256.h"

namespace kv::tools {

bool hashFile(const std::string& path, std::string& hexDigest, std::int64_t& size, std::string& error,
              const std::function<void(std::int64_t)>& onRead,
              const std::function<void(const std::uint8_t*, std::size_t)>& onBytes) {
  platform::Sha256 digest;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // Large reads, so the digest and not the system calls sets the pace; one
  // buffer per thread, so many small files do not map fresh memory each.
  thread_local std::vector<char> buffer(4 << 20);
  constexpr std::size_t kSlice = std::size_t{1} << 20;
  std::int64_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    // Hashed and handed on in slices, so that whoever takes the bytes (a
    // chunker with helper threads) gets them in an even flow.
    for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += kSlice) {
      const std::size_t slice = std::min(kSlice, static_cast<std::size_t>(n) - at);
      digest.add(buffer.data() + at, slice);
      if (onBytes) onBytes(reinterpret_cast<const std::uint8_t*>(buffer.data()) + at, slice);
    }
    total += n;
    if (onRead) onRead(n);
  }
  ::close(fd);
  hexDigest = digest.finishHex();
  if (hexDigest.empty()) {
    error = "SHA-256 failed";
    return false;
  }
  size = total;
  return true;
}

std::string sha256Hex(const std::string& bytes) { return platform::sha256Hex(bytes.data(), bytes.size()); }

}  // namespace kv::tools
