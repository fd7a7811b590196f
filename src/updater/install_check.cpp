#include "updater/install_check.h"

#include "platform/file_system.h"
#include "updater/endpoints.h"
#include "updater/manifest.h"

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

bool matchesSha256(std::string_view hexDigest, std::string_view listedHash) {
  if (!isSha256Hex(listedHash) || hexDigest.size() != listedHash.size()) return false;
  for (std::size_t i = 0; i < hexDigest.size(); ++i) {
    const char c = listedHash[i];
    if (hexDigest[i] != (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c)) return false;
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

InstalledCheck checkInstalledFiles(const std::string& serverDir, const ContentCheck& contentCheck,
                                   const std::atomic<bool>* cancel) {
  InstalledCheck found;
  ManifestMap local;
  if (!readLocalManifest(serverDir, local)) return found;
  for (const auto& [path, entry] : local) {
    if (cancel != nullptr && cancel->load()) break;
    if (!isCheckedEntry(path)) continue;
    ++found.checked;
    const std::string localPath = joinPath(serverDir, path);
    if (!isWholeFile(localPath, entry) || (contentCheck && !contentCheck(localPath, entry))) {
      found.damaged.insert(path);
    }
  }
  UnpackedFiles unpacked;
  // An unreadable record only means those files go unchecked until their
  // archive is unpacked again.
  (void)readUnpackedRecord(serverDir, unpacked);
  for (const auto& [path, file] : unpacked) {
    if (cancel != nullptr && cancel->load()) break;
    if (local.count(path) != 0 || local.count(file.archive) == 0) continue;
    ++found.checked;
    ManifestEntry entry;
    entry.path = path;
    entry.hash = crc32HashText(file.crc32);
    entry.size = file.size;
    const std::string localPath = joinPath(serverDir, path);
    if (!isWholeFile(localPath, entry) || (contentCheck && !contentCheck(localPath, entry))) {
      found.damaged.insert(path);
      found.archivesToUnpack.insert(file.archive);
    }
  }
  found.local = std::move(local);
  return found;
}

}  // namespace kv::updater
