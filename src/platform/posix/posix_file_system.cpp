#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/path_text.h"
#include "platform/file_system.h"
#include "platform/native_path.h"

namespace kv::platform {
namespace {

int fdOf(std::intptr_t handle) { return static_cast<int>(handle); }

PathKind kindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return PathKind::File;
  if (S_ISDIR(st.st_mode)) return PathKind::Folder;
  if (S_ISLNK(st.st_mode)) return PathKind::Link;
  return PathKind::Other;
}

PathKind kindAt(int folder, const char* name) {
  struct stat st {};
  if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Unknown;
  }
  return kindOf(st);
}

// Whether the installed faults fail this operation; errno then tells why.
bool faulted(FileOperation operation, const std::string& path, const std::string& target = {}) {
  switch (injectedFileFault(operation, path, target)) {
    case FileFault::None:
      return false;
    case FileFault::Denied:
      errno = EPERM;
      return true;
    case FileFault::DiskFull:
      errno = ENOSPC;
      return true;
    case FileFault::IoError:
      errno = EIO;
      return true;
  }
  return false;
}

const std::string kNoPath;

}  // namespace

PathKind pathKind(const std::string& path) { return kindAt(AT_FDCWD, path.c_str()); }

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::uint64_t> regularFileSizeAt(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::filesystem::path nativePath(const std::string& path) { return path; }

std::string utf8Path(const std::filesystem::path& path) { return path.string(); }

std::optional<std::uint64_t> freeSpaceAt(const std::string& path) {
  if (const std::optional<std::uint64_t> injected = injectedFreeSpace(path)) return injected;
  struct statvfs disk {};
  if (::statvfs(path.c_str(), &disk) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(disk.f_bavail) * static_cast<std::uint64_t>(disk.f_frsize);
}

PathKind targetKind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Unknown;
  }
  return kindOf(st);
}

bool matchPermissions(File& file, const std::string& model) {
  struct stat st {};
  if (::stat(model.c_str(), &st) != 0) return errno == ENOENT;
  return file.ok() && ::fchmod(fdOf(file.native()), st.st_mode & 07777) == 0;
}

std::string linkTargetPath(const std::string& path) {
  std::string current = path;
  // As many links as the system itself follows before it gives up.
  for (int hop = 0; hop < 40 && pathKind(current) == PathKind::Link; ++hop) {
    std::string target(4096, '\0');
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) break;
    target.resize(static_cast<std::size_t>(length));
    current = target.front() == '/' ? target : joinPath(folderOf(current), target);
  }
  return current;
}

std::string lastErrorText() { return std::strerror(errno); }

File::~File() {
  if (ok()) ::close(fdOf(handle_));
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (ok()) ::close(fdOf(handle_));
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

File File::adopt(std::intptr_t handle) {
  File file;
  if (handle >= 0) file.handle_ = handle;
  return file;
}

bool File::write(const char* data, std::size_t size) {
  if (!ok() || faulted(FileOperation::Write, kNoPath)) return false;
  while (size > 0) {
    const ssize_t written = ::write(fdOf(handle_), data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool File::writeAt(std::uint64_t offset, const char* data, std::size_t size) {
  if (!ok() || faulted(FileOperation::Write, kNoPath)) return false;
  while (size > 0) {
    const ssize_t written = ::pwrite(fdOf(handle_), data, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

std::int64_t File::readAt(std::uint64_t offset, char* out, std::size_t size) const {
  ssize_t got = 0;
  do {
    got = ::pread(fdOf(handle_), out, size, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got;
}

std::optional<std::uint64_t> File::regularFileSize() const {
  struct stat st {};
  if (!ok() || ::fstat(fdOf(handle_), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool File::flush() { return ok() && !faulted(FileOperation::Flush, kNoPath) && ::fsync(fdOf(handle_)) == 0; }

bool File::close() {
  const std::intptr_t handle = std::exchange(handle_, kNone);
  if (handle == kNone) return false;
  const bool closed = ::close(fdOf(handle)) == 0;
  return !faulted(FileOperation::Close, kNoPath) && closed;
}

File openForReading(const std::string& path) {
  if (faulted(FileOperation::Open, path)) return File();
  // Non-blocking, so that a FIFO at path cannot hold the thread; regular
  // files ignore the flag.
  return File::adopt(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

File openForWriting(const std::string& path, WriteMode mode, FinalLink link) {
  if (faulted(FileOperation::Create, path)) return File();
  // Non-blocking, so that a pipe at path cannot hold the thread; regular
  // files ignore the flag.
  const int how = (mode == WriteMode::Truncate ? O_TRUNC : O_APPEND) | (link == FinalLink::Refuse ? O_NOFOLLOW : 0);
  File file = File::adopt(::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | how, 0644));
  if (file.ok() && !file.regularFileSize()) {
    file = File();
    errno = EINVAL;
  }
  return file;
}

File lockExclusively(const std::string& path, LockOutcome& outcome) {
  outcome = LockOutcome::Failed;
  if (faulted(FileOperation::Create, path)) return File();
  File file = File::adopt(::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!file.ok()) return file;
  if (!file.regularFileSize()) {
    errno = EINVAL;
    return File();
  }
  while (::flock(static_cast<int>(file.native()), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) outcome = LockOutcome::Busy;
    return File();
  }
  outcome = LockOutcome::Taken;
  return file;
}

File createTemporaryBeside(const std::string& path, std::string& temporaryPath) {
  if (faulted(FileOperation::Create, path)) return File();
  std::string pattern = path + ".XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return File();
  temporaryPath = pattern;
  File file = File::adopt(fd);
  if (::fchmod(fd, 0644) != 0) {
    const int error = errno;
    file = File();
    ::unlink(temporaryPath.c_str());
    errno = error;
  }
  return file;
}

bool renameReplacing(const std::string& from, const std::string& to) {
  if (faulted(FileOperation::Rename, from, to)) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool removeFile(const std::string& path) {
  if (faulted(FileOperation::Remove, path)) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return ::unlink(path.c_str()) == 0;
}

bool renameNoReplace(const std::string& from, const std::string& to) {
  if (faulted(FileOperation::Rename, from, to)) return false;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the no-replace flag: test, then rename.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

ExchangeOutcome exchangePaths(const std::string& a, const std::string& b) {
  if (faulted(FileOperation::Exchange, a, b)) return ExchangeOutcome::Failed;
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return ExchangeOutcome::Exchanged;
  return errno == EINVAL || errno == ENOSYS ? ExchangeOutcome::Unsupported : ExchangeOutcome::Failed;
}

CreateOutcome makeFolder(const std::string& path) {
  if (faulted(FileOperation::Create, path)) return CreateOutcome::Failed;
  if (::mkdir(path.c_str(), 0755) == 0) return CreateOutcome::Created;
  return errno == EEXIST ? CreateOutcome::Exists : CreateOutcome::Failed;
}

void flushFolderOf(const std::string& path) {
  const int folder = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    (void)::fsync(folder);
    ::close(folder);
  }
}

Folder::~Folder() {
  if (ok()) ::close(fdOf(handle_));
}

Folder::Folder(Folder&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), path_(std::move(other.path_)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (ok()) ::close(fdOf(handle_));
    handle_ = std::exchange(other.handle_, kNone);
    path_ = std::move(other.path_);
  }
  return *this;
}

Folder Folder::adopt(std::intptr_t handle, std::string path) {
  Folder folder;
  if (handle >= 0) {
    folder.handle_ = handle;
    folder.path_ = std::move(path);
  }
  return folder;
}

Folder openFolder(const std::string& path) {
  if (faulted(FileOperation::Open, path)) return Folder();
  return Folder::adopt(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), path);
}

Folder openFolderIn(const Folder& parent, const std::string& name) {
  if (!parent.ok() || faulted(FileOperation::Open, parent.path() + "/" + name)) return Folder();
  const int fd = ::openat(fdOf(parent.native()), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return Folder::adopt(fd, parent.path() + "/" + name);
}

CreateOutcome createFileIn(const Folder& folder, const std::string& name, bool executable, File& file) {
  file = File();
  if (!folder.ok() || faulted(FileOperation::Create, folder.path() + "/" + name)) return CreateOutcome::Failed;
  // The process's umask narrows these as usual.
  const mode_t mode = executable ? 0777 : 0666;
  const int fd = ::openat(fdOf(folder.native()), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd >= 0) {
    file = File::adopt(fd);
    return CreateOutcome::Created;
  }
  return errno == EEXIST ? CreateOutcome::Exists : CreateOutcome::Failed;
}

File openForReadingIn(const Folder& folder, const std::string& name) {
  if (!folder.ok() || faulted(FileOperation::Open, folder.path() + "/" + name)) return File();
  // Non-blocking, so that a pipe swapped in cannot hold the thread; regular
  // files ignore the flag and reads wait as usual.
  File file = File::adopt(
      ::openat(fdOf(folder.native()), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.ok() && !file.regularFileSize()) {
    file = File();
    errno = EINVAL;
  }
  return file;
}

File createOrTruncateIn(const Folder& folder, const std::string& name) {
  if (!folder.ok() || faulted(FileOperation::Create, folder.path() + "/" + name)) return File();
  return File::adopt(::openat(fdOf(folder.native()), name.c_str(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
}

CreateOutcome makeFolderIn(const Folder& folder, const std::string& name) {
  if (!folder.ok() || faulted(FileOperation::Create, folder.path() + "/" + name)) return CreateOutcome::Failed;
  if (::mkdirat(fdOf(folder.native()), name.c_str(), 0755) == 0) return CreateOutcome::Created;
  return errno == EEXIST ? CreateOutcome::Exists : CreateOutcome::Failed;
}

bool removeFolderIn(const Folder& folder, const std::string& name) {
  return folder.ok() && !faulted(FileOperation::Remove, folder.path() + "/" + name) &&
         ::unlinkat(fdOf(folder.native()), name.c_str(), AT_REMOVEDIR) == 0;
}

bool listNames(const Folder& folder, std::vector<std::string>& names) {
  if (!folder.ok()) return false;
  const int copy = ::fcntl(fdOf(folder.native()), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return false;
  }
  ::rewinddir(dir);
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  const bool complete = errno == 0;
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return complete;
}

PathKind pathKindIn(const Folder& folder, const std::string& name) {
  if (!folder.ok()) return PathKind::Unknown;
  return kindAt(fdOf(folder.native()), name.c_str());
}

bool removeFileIn(const Folder& folder, const std::string& name) {
  if (!folder.ok() || faulted(FileOperation::Remove, folder.path() + "/" + name)) return false;
  return ::unlinkat(fdOf(folder.native()), name.c_str(), 0) == 0 || errno == ENOENT;
}

namespace {

// Deeper trees are left in place: each level holds an open folder.
constexpr int kMaxRemovalDepth = 1024;

bool removeContentOf(const Folder& folder, int depth) {
  if (depth > kMaxRemovalDepth) return false;
  std::vector<std::string> names;
  bool complete = listNames(folder, names);
  for (const std::string& name : names) {
    const PathKind kind = pathKindIn(folder, name);
    if (kind == PathKind::Missing) continue;
    if (kind == PathKind::Folder) {
      Folder child = openFolderIn(folder, name);
      const bool emptied = child.ok() && removeContentOf(child, depth + 1);
      child = Folder();
      if (!emptied || !removeFolderIn(folder, name)) complete = false;
    } else if (kind == PathKind::Unknown || !removeFileIn(folder, name)) {
      complete = false;
    }
  }
  return complete;
}

}  // namespace

bool removeFolderTreeIn(const Folder& folder, const std::string& name) {
  if (pathKindIn(folder, name) != PathKind::Folder) return false;
  Folder opened = openFolderIn(folder, name);
  const bool emptied = opened.ok() && removeContentOf(opened, 0);
  opened = Folder();
  return emptied && removeFolderIn(folder, name);
}

}  // namespace kv::platform
