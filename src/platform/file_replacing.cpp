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
  if (name.size() <= leaf.size() + 1 || name.compare(0, leaf.size(), leaf) != 0 || name[leaf.size()] != '.') {
    return false;
  }
  const std::string_view suffix = name.substr(leaf.size() + 1);
  const auto all = [](std::string_view text, auto ok) {
    for (const char c : text) {
      if (!ok(c)) return false;
    }
    return true;
  };
  const auto word = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  };
  const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  // POSIX: mkostemp's six characters (letters and digits; '_' taken too).
  // Windows: two numbers joined by '_' ("%08x_%08x"; earlier versions wrote
  // them shorter, in decimal).
  if (suffix.size() == 6 && all(suffix, word)) return true;
  const std::size_t join = suffix.find('_');
  return suffix.size() <= 32 && join != std::string_view::npos && join > 0 && join + 1 < suffix.size() &&
         all(suffix.substr(0, join), hex) && all(suffix.substr(join + 1), hex);
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
