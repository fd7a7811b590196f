#include "updater/install_check.h"

#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "platform/file_system.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool isSha256Hex(std::string_view hash) {
  if (hash.size() != 64) return false;
  for (const char c : hash) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

std::optional<std::string> sha256OfFile(const std::string& path) {
  const platform::File file = platform::openForReading(path);
  if (!file.ok() || !file.regularFileSize()) return std::nullopt;
  const std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  // Large reads, so the digest and not the system calls sets the pace; one
  // buffer per thread, so many small files do not map fresh memory each.
  thread_local std::vector<char> buffer(std::size_t{4} << 20);
  std::uint64_t offset = 0;
  for (;;) {
    const std::int64_t got = file.readAt(offset, buffer.data(), buffer.size());
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got)) != 1) return std::nullopt;
    offset += static_cast<std::uint64_t>(got);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 0x0F]);
  }
  return hex;
}

bool isCheckedEntry(std::string_view path) {
  return !(path.size() >= kArchiveExtension.size() &&
           path.substr(path.size() - kArchiveExtension.size()) == kArchiveExtension);
}

bool isWholeFile(const std::string& path, const ManifestEntry& entry, FileCheck check) {
  {
    const platform::File file = platform::openForReading(path);
    const std::optional<std::uint64_t> size = file.ok() ? file.regularFileSize() : std::nullopt;
    if (!size || (entry.sizeListed && *size != static_cast<std::uint64_t>(entry.size))) return false;
  }
  if (check == FileCheck::Metadata || !isSha256Hex(entry.hash)) return true;
  const std::optional<std::string> digest = sha256OfFile(path);
  if (!digest || digest->size() != entry.hash.size()) return false;
  for (std::size_t i = 0; i < digest->size(); ++i) {
    if ((*digest)[i] != lowerAscii(entry.hash[i])) return false;
  }
  return true;
}

}  // namespace kv::updater
