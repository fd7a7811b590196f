#include "updater/atomic_file.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/path_text.h"
#include "platform/file_system.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

void setReason(std::string* reason, const std::string& what) {
  if (reason != nullptr) *reason = what + ": " + platform::lastErrorText();
}

// Removes the temporary files that replacements of path cut off by a kill
// or a power loss left beside it. Failures are ignored.
void removeLeftTemporaries(const std::string& path) {
  const std::string leaf = fileNamePart(path);
  const platform::Folder folder = platform::openFolder(folderOf(path));
  std::vector<std::string> names;
  if (!folder.ok()) return;
  (void)platform::listNames(folder, names);
  for (const std::string& name : names) {
    if (isTemporaryNameOf(name, leaf) && platform::pathKindIn(folder, name) == platform::PathKind::File) {
      (void)platform::removeFileIn(folder, name);
    }
  }
}

}  // namespace

bool isTemporaryNameOf(std::string_view name, std::string_view leaf) {
  if (name.size() < leaf.size() + 7 || name.size() > leaf.size() + 33) return false;
  if (name.compare(0, leaf.size(), leaf) != 0 || name[leaf.size()] != '.') return false;
  for (std::size_t i = leaf.size() + 1; i < name.size(); ++i) {
    const char c = name[i];
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

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

bool replaceFileAtomically(const std::string& path, std::string_view content, std::string* reason,
                           FileSync sync) {
  removeLeftTemporaries(path);
  std::string temporary;
  platform::File file = platform::createTemporaryBeside(path, temporary);
  if (!file.ok()) {
    setReason(reason, "cannot create a temporary file beside " + path);
    return false;
  }
  bool ok = file.write(content.data(), content.size());
  if (!ok) setReason(reason, "cannot write " + temporary);
  if (ok && sync == FileSync::Flush && !file.flush()) {
    ok = false;
    setReason(reason, "cannot flush " + temporary);
  }
  if (!file.close() && ok) {
    ok = false;
    setReason(reason, "cannot close " + temporary);
  }
  if (ok && !platform::renameReplacing(temporary, path)) {
    ok = false;
    setReason(reason, "cannot rename " + temporary + " to " + path);
  }
  if (!ok) {
    (void)platform::removeFile(temporary);
    return false;
  }
  // Make the rename itself durable; a folder that cannot be flushed changes
  // nothing about the answer.
  if (sync == FileSync::Flush) platform::flushFolderOf(path);
  return true;
}

}  // namespace kv::updater
