#include "archive/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kv::archive {

namespace {

// Closes a descriptor when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  void replace(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

constexpr int kWriteFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr mode_t kFileMode = 0666;  // narrowed by the process's umask

// Opens leaf in dirFd for writing without following a link there and
// without blocking on a FIFO. Replaces a link or a multiply linked file by a
// new file. Answers the descriptor or -1.
int openLeaf(int dirFd, const std::string& leaf) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = ::openat(dirFd, leaf.c_str(), kWriteFlags | O_CREAT, kFileMode);
    if (fd < 0) {
      struct stat linkStat {};
      if (errno != ELOOP || ::fstatat(dirFd, leaf.c_str(), &linkStat, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISLNK(linkStat.st_mode) || ::unlinkat(dirFd, leaf.c_str(), 0) != 0) {
        return -1;
      }
      continue;  // the link is gone: create the file in its place
    }
    struct stat fileStat {};
    if (::fstat(fd, &fileStat) != 0 || !S_ISREG(fileStat.st_mode)) {
      ::close(fd);
      return -1;
    }
    if (fileStat.st_nlink > 1) {
      // Writing would change the other names of this file too.
      ::close(fd);
      if (::unlinkat(dirFd, leaf.c_str(), 0) != 0) return -1;
      continue;
    }
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if ((fileStat.st_size > 0 && ::ftruncate(fd, 0) != 0) || statusFlags < 0 ||
        ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  return -1;
}

}  // namespace

OutputFile::~OutputFile() { reset(); }

OutputFile::OutputFile(OutputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void OutputFile::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool OutputFile::open(const std::string& folder, const std::string& relativeName) {
  reset();
  ScopedFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return false;
  std::size_t start = 0;
  for (std::size_t slash = relativeName.find('/'); slash != std::string::npos;
       slash = relativeName.find('/', start)) {
    const std::string segment = relativeName.substr(start, slash - start);
    dir.replace(::openat(dir.get(), segment.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) return false;
    start = slash + 1;
  }
  fd_ = openLeaf(dir.get(), relativeName.substr(start));
  return fd_ >= 0;
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

bool OutputFile::finish(std::optional<std::uint32_t> unixMode) {
  bool ok = fd_ >= 0;
  struct stat fileStat {};
  if (ok && ::fstat(fd_, &fileStat) == 0) {
    mode_t mode = fileStat.st_mode & 0777;
    if (unixMode) {
      const auto type = *unixMode & S_IFMT;
      const bool executable = (type == 0 || type == S_IFREG) && (*unixMode & S_IXUSR) != 0;
      mode = (mode & 0666) | (executable ? (mode & 0444) >> 2 : 0);
    }
    if (mode != (fileStat.st_mode & 07777) && ::fchmod(fd_, mode) != 0) ok = false;
  }
  if (fd_ >= 0 && ::close(fd_) != 0) ok = false;
  fd_ = -1;
  return ok;
}

}  // namespace kv::archive
