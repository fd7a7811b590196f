#include <vector>

#include "base/path_text.h"
#include "platform/file_system.h"

namespace kv::platform {
namespace {

void setReason(std::string* reason, const std::string& what) {
  if (reason != nullptr) *reason = what + ": " + lastErrorText();
}

// Removes the temporary files that replacements of path cut off by a kill
// or a power loss left beside it. Failures are ignored.
void removeLeftTemporaries(const std::string& path) {
  const std::string leaf = fileNamePart(path);
  const Folder folder = openFolder(folderOf(path));
  std::vector<std::string> names;
  if (!folder.ok()) return;
  (void)listNames(folder, names);
  for (const std::string& name : names) {
    if (isTemporaryNameOf(name, leaf) && pathKindIn(folder, name) == PathKind::File) {
      (void)removeFileIn(folder, name);
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

bool replaceFileAtomically(const std::string& path, std::string_view content, std::string* reason,
                           FileSync sync) {
  removeLeftTemporaries(path);
  std::string temporary;
  File file = createTemporaryBeside(path, temporary);
  if (!file.ok()) {
    setReason(reason, "cannot create a temporary file beside " + path);
    return false;
  }
  // A file its owner kept private stays private; failing that, the new file
  // keeps the permissions it was made with.
  (void)matchPermissions(file, path);
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
  if (ok && !renameReplacing(temporary, path)) {
    ok = false;
    setReason(reason, "cannot rename " + temporary + " to " + path);
  }
  if (!ok) {
    (void)removeFile(temporary);
    return false;
  }
  // Make the rename itself durable; a folder that cannot be flushed changes
  // nothing about the answer.
  if (sync == FileSync::Flush) flushFolderOf(path);
  return true;
}

}  // namespace kv::platform
