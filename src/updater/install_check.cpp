#include "updater/install_check.h"

#include "platform/file_system.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool isSha256Hex(std::string_view hash) {
  if (hash.size() != 64) return false;
  for (const char c : hash) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

bool isCheckedEntry(std::string_view path) {
  return !path.ends_with(kArchiveExtension);
}

bool isWholeFile(const std::string& path, const ManifestEntry& entry) {
  const std::optional<std::uint64_t> size = platform::regularFileSizeAt(path);
  return size && (!entry.sizeListed || *size == static_cast<std::uint64_t>(entry.size));
}

}  // namespace kv::updater
