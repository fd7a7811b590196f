#include "updater/atomic_file.h"

#include <cstdint>
#include <cstdio>

#include "updater/endpoints.h"

namespace kv::updater {

bool isDownloadTemporaryName(std::string_view segment) {
  const std::string_view suffix = kDownloadTemporarySuffix;
  for (std::size_t at = segment.find('.'); at != std::string_view::npos; at = segment.find('.', at + 1)) {
    if (segment.size() - at < suffix.size()) return false;
    bool same = true;
    for (std::size_t i = 0; i < suffix.size() && same; ++i) {
      char c = segment[at + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      same = c == suffix[i];
    }
    const std::size_t end = at + suffix.size();
    if (same && (end == segment.size() || segment[end] == '.')) return true;
  }
  return false;
}

std::string downloadTemporaryPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t leafStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t leafSize = path.size() - leafStart;
  const std::size_t suffixSize = std::string_view(kDownloadTemporarySuffix).size();
  if (leafSize + suffixSize <= kMaxNameBytes || leafSize > kMaxNameBytes) {
    return path + std::string(kDownloadTemporarySuffix);
  }
  // FNV-1a of the whole name keeps two long names with the same start apart.
  std::uint64_t hash = 14695981039346656037ULL;
  for (std::size_t i = leafStart; i < path.size(); ++i) {
    hash = (hash ^ static_cast<unsigned char>(path[i])) * 1099511628211ULL;
  }
  char hex[18];
  std::snprintf(hex, sizeof hex, "~%016llx", static_cast<unsigned long long>(hash));
  std::size_t keep = kMaxNameBytes - suffixSize - 17;
  // Never cut a UTF-8 sequence in two.
  while (keep > 0 && (static_cast<unsigned char>(path[leafStart + keep]) & 0xC0) == 0x80) --keep;
  return path.substr(0, leafStart + keep) + hex + std::string(kDownloadTemporarySuffix);
}

}  // namespace kv::updater
