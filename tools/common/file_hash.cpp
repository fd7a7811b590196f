#include "file_hash.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace kv::tools {
namespace {

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

std::string toHex(const unsigned char* bytes, unsigned int length) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2u);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(digits[bytes[i] >> 4]);
    hex.push_back(digits[bytes[i] & 0x0F]);
  }
  return hex;
}

DigestContext startDigest() {
  DigestContext ctx(EVP_MD_CTX_new());
  if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) ctx.reset();
  return ctx;
}

std::string finishDigest(EVP_MD_CTX* ctx) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx, digest, &length) != 1) return {};
  return toHex(digest, length);
}

}  // namespace

bool hashFile(const std::string& path, std::string& hexDigest, std::int64_t& size, std::string& error,
              const std::function<void(std::int64_t)>& onRead) {
  DigestContext ctx = startDigest();
  if (!ctx) {
    error = "SHA-256 is not available";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // Large reads, so the digest and not the system calls sets the pace; one
  // buffer per thread, so many small files do not map fresh memory each.
  thread_local std::vector<char> buffer(4 << 20);
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
    if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n)) != 1) {
      error = "SHA-256 failed";
      ::close(fd);
      return false;
    }
    total += n;
    if (onRead) onRead(n);
  }
  ::close(fd);
  hexDigest = finishDigest(ctx.get());
  if (hexDigest.empty()) {
    error = "SHA-256 failed";
    return false;
  }
  size = total;
  return true;
}

std::string sha256Hex(const std::string& bytes) {
  DigestContext ctx = startDigest();
  if (!ctx || EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1) return {};
  return finishDigest(ctx.get());
}

}  // namespace kv::tools
