#include "archive/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kv::archive {

namespace {

// At most this many folders stay open at once.
constexpr std::size_t kMaxOpenFolders = 64;

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kPlainMode = 0666;       // narrowed by the process's umask
constexpr mode_t kExecutableMode = 0777;  // likewise

}  // namespace

bool isExecutableMode(std::optional<std::uint32_t> unixMode) {
  if (!unixMode) return false;
  const std::uint32_t type = *unixMode & S_IFMT;
  return (type == 0 || type == S_IFREG) && (*unixMode & S_IXUSR) != 0;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputFile::write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool OutputFile::finish() {
  const bool ok = fd_ >= 0 && ::close(fd_) == 0;
  fd_ = -1;
  return ok;
}

DestinationFolder::DestinationFolder(std::string path) : path_(std::move(path)) {}

DestinationFolder::~DestinationFolder() { closeFolders(); }

void DestinationFolder::closeFolders() {
  for (const auto& [name, fd] : folders_) ::close(fd);
  folders_.clear();
}

int DestinationFolder::folderFd(const std::string& relativeFolder) {
  if (const auto found = folders_.find(relativeFolder); found != folders_.end()) return found->second;
  if (folders_.size() >= kMaxOpenFolders) closeFolders();
  int fd = -1;
  if (relativeFolder.empty()) {
    fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else {
    const std::size_t slash = relativeFolder.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string() : relativeFolder.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? relativeFolder : relativeFolder.substr(slash + 1);
    const int parentFd = folderFd(parent);
    if (parentFd < 0) return -1;
    fd = ::openat(parentFd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd >= 0) folders_.emplace(relativeFolder, fd);
  return fd;
}

bool DestinationFolder::create(const std::string& relativeName, bool executable, OutputFile& file) {
  if (file.fd_ >= 0) ::close(file.fd_);
  file.fd_ = -1;
  const std::size_t slash = relativeName.rfind('/');
  const int dirFd = folderFd(slash == std::string::npos ? std::string() : relativeName.substr(0, slash));
  if (dirFd < 0) return false;
  const std::string leaf = slash == std::string::npos ? relativeName : relativeName.substr(slash + 1);
  const mode_t mode = executable ? kExecutableMode : kPlainMode;
  for (int attempt = 0; attempt < 3; ++attempt) {
    file.fd_ = ::openat(dirFd, leaf.c_str(), kCreateFlags, mode);
    if (file.fd_ >= 0) return true;
    if (errno != EEXIST) return false;
    // Something stands there: replace a file or a link, never a folder or
    // a special file.
    struct stat existing {};
    if (::fstatat(dirFd, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) return false;
    if (::unlinkat(dirFd, leaf.c_str(), 0) != 0 && errno != ENOENT) return false;
  }
  return false;
}

}  // namespace kv::archive
