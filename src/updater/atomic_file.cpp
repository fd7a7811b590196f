#include "updater/atomic_file.h"

#include "platform/file_system.h"

namespace kv::updater {
namespace {

void setReason(std::string* reason, const std::string& what) {
  if (reason != nullptr) *reason = what + ": " + platform::lastErrorText();
}

}  // namespace

bool replaceFileAtomically(const std::string& path, std::string_view content, std::string* reason,
                           FileSync sync) {
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
