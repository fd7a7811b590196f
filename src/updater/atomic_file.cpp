#include "updater/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kv::updater {
namespace {

void setReason(std::string* reason, const std::string& what) {
  if (reason != nullptr) *reason = what + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool replaceFileAtomically(const std::string& path, std::string_view content, std::string* reason,
                           FileSync sync) {
  std::string pattern = path + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    setReason(reason, "cannot create a temporary file beside " + path);
    return false;
  }
  const std::string temporary(name.data());
  bool ok = writeAll(fd, content);
  if (!ok) setReason(reason, "cannot write " + temporary);
  if (ok && ::fchmod(fd, 0644) != 0) {
    ok = false;
    setReason(reason, "cannot set the mode of " + temporary);
  }
  if (ok && sync == FileSync::Flush && ::fsync(fd) != 0) {
    ok = false;
    setReason(reason, "cannot flush " + temporary);
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    setReason(reason, "cannot close " + temporary);
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    setReason(reason, "cannot rename " + temporary + " to " + path);
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (sync == FileSync::NoFlush) return true;
  // Make the rename itself durable; a folder that cannot be flushed changes
  // nothing about the answer.
  const int folder = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    (void)::fsync(folder);
    ::close(folder);
  }
  return true;
}

}  // namespace kv::updater
