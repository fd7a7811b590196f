#include "settings/config_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <utility>

namespace kv::settings {
namespace {

// Folders nested deeper than this are not copied or listed; a configuration
// folder is a handful of levels deep.
constexpr int kMaxDepth = 64;
// Removal goes deeper, so that whatever a failed copy created can go again.
constexpr int kMaxRemovalDepth = 1024;
// Candidates tried for a numbered temporary folder.
constexpr int kMaxNumberedCandidates = 10000;

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes the descriptor and reports whether the close succeeded.
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

std::string systemError(int error) { return std::strerror(error); }

// Opens a folder; the last component may not be a symbolic link unless
// followLast.
Fd openFolder(const std::string& path, bool followLast) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLast ? 0 : O_NOFOLLOW);
  return Fd(::open(path.c_str(), flags));
}

Fd openFolderAt(int parent, const std::string& name) {
  return Fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The names inside an open folder, without "." and "..", sorted. False when
// the folder cannot be read to its end.
bool listNames(int folderFd, std::vector<std::string>& names) {
  const int copy = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
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

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Copies the open regular file in to the open file out. False with errno set
// on a read or write error.
bool copyBytes(int in, int out) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    if (!writeAll(out, buffer, static_cast<std::size_t>(got))) return false;
  }
}

// Opens a regular file for reading without following a link at the last
// component and without blocking on a pipe that was swapped in.
Fd openRegularForReading(int parent, const std::string& name) {
  Fd in(::openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in.ok()) return in;
  struct stat st{};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return Fd();
  }
  // Regular files ignore O_NONBLOCK; reads below wait as usual.
  return in;
}

// Copies parent/name (a regular file) to targetParent/targetName, creating
// or truncating the target; a link at the target is not followed.
bool copyFileAt(int sourceParent, const std::string& name, int targetParent,
                const std::string& targetName, std::string& reason) {
  Fd in = openRegularForReading(sourceParent, name);
  if (!in.ok()) {
    reason = systemError(errno);
    return false;
  }
  Fd out(::openat(targetParent, targetName.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out.ok() || !copyBytes(in.get(), out.get())) {
    reason = systemError(errno);
    return false;
  }
  if (!out.close()) {
    reason = systemError(errno);
    return false;
  }
  return true;
}

bool copyFolderFd(int from, int to, int depth, std::string& reason) {
  if (depth > kMaxDepth) {
    reason = systemError(ELOOP);
    return false;
  }
  std::vector<std::string> names;
  if (!listNames(from, names)) {
    reason = systemError(errno != 0 ? errno : EIO);
    return false;
  }
  for (const std::string& name : names) {
    struct stat st{};
    if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      reason = systemError(errno);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (::mkdirat(to, name.c_str(), 0755) != 0 && errno != EEXIST) {
        reason = systemError(errno);
        return false;
      }
      Fd source = openFolderAt(from, name);
      Fd target = openFolderAt(to, name);
      if (!source.ok() || !target.ok()) {
        reason = systemError(errno);
        return false;
      }
      if (!copyFolderFd(source.get(), target.get(), depth + 1, reason)) return false;
    } else if (S_ISREG(st.st_mode)) {
      if (!copyFileAt(from, name, to, name, reason)) return false;
    }
    // Symbolic links, pipes, sockets and devices are not copied.
  }
  return true;
}

// Removes everything inside the open folder. True when it is empty after.
bool removeContentFd(int folder, int depth) {
  if (depth > kMaxRemovalDepth) return false;
  std::vector<std::string> names;
  bool complete = listNames(folder, names);
  for (const std::string& name : names) {
    struct stat st{};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      complete = complete && errno == ENOENT;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      Fd child = openFolderAt(folder, name);
      if (!child.ok() || !removeContentFd(child.get(), depth + 1)) {
        complete = false;
        continue;
      }
      child.reset();
      if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) complete = false;
    } else if (::unlinkat(folder, name.c_str(), 0) != 0) {
      complete = false;
    }
  }
  return complete;
}

std::vector<std::string> splitRelative(const std::string& relative) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    parts.push_back(relative.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The folder part and the last name of a path ("." when it has no folder).
std::pair<std::string, std::string> splitParent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  if (slash == 0) return {"/", path.substr(1)};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

bool measureFd(int folder, int depth, TreeSize& size) {
  if (depth > kMaxDepth) return false;
  std::vector<std::string> names;
  listNames(folder, names);
  for (const std::string& name : names) {
    ++size.entries;
    struct stat st{};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      size.bytes += static_cast<std::uint64_t>(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
      Fd child = openFolderAt(folder, name);
      if (child.ok()) measureFd(child.get(), depth + 1, size);
    }
  }
  return true;
}

}  // namespace

std::string joinPath(const std::string& base, const std::string& name) {
  if (base.empty() || base == ".") return name;
  if (base.back() == '/') return base + name;
  return base + "/" + name;
}

bool pathExists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

bool isRealFolder(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> createNumberedFolder(const std::string& base, const std::string& stem) {
  for (int number = 0; number < kMaxNumberedCandidates; ++number) {
    const std::string name = number == 0 ? stem : stem + "_" + std::to_string(number);
    const std::string path = joinPath(base, name);
    if (pathExists(path)) continue;
    if (::mkdir(path.c_str(), 0755) == 0) return path;
    if (errno != EEXIST) return std::nullopt;  // the base itself is the problem
  }
  return std::nullopt;
}

std::optional<std::string> freeNumberedName(const std::string& base, const std::string& stem) {
  for (int number = 0; number < kMaxNumberedCandidates; ++number) {
    const std::string name = number == 0 ? stem : stem + "_" + std::to_string(number);
    const std::string path = joinPath(base, name);
    if (!pathExists(path)) return path;
  }
  return std::nullopt;
}

bool makeFolders(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool copyFolderContent(const std::string& from, const std::string& to, std::string& reason) {
  Fd source = openFolder(from, true);
  if (!source.ok()) {
    reason = systemError(errno);
    return false;
  }
  Fd target = openFolder(to, true);
  if (!target.ok()) {
    reason = systemError(errno);
    return false;
  }
  return copyFolderFd(source.get(), target.get(), 0, reason);
}

CopyResult copyFileBelow(const std::string& source, const std::string& root,
                         const std::string& relative, ExistingFile existing) {
  const std::vector<std::string> parts = splitRelative(relative);
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") return CopyResult::Failed;
  }
  Fd folder = openFolder(root, true);
  if (!folder.ok()) return CopyResult::Failed;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    if (::mkdirat(folder.get(), parts[i].c_str(), 0755) != 0 && errno != EEXIST) {
      return CopyResult::Failed;
    }
    Fd next = openFolderAt(folder.get(), parts[i]);
    if (!next.ok()) return CopyResult::Failed;
    folder = std::move(next);
  }
  const std::string& last = parts.back();
  struct stat st{};
  if (existing == ExistingFile::Keep &&
      ::fstatat(folder.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return CopyResult::KeptExisting;
  }
  const auto [sourceParent, sourceName] = splitParent(source);
  Fd sourceFolder = openFolder(sourceParent, true);
  if (!sourceFolder.ok()) return CopyResult::Failed;
  std::string reason;
  return copyFileAt(sourceFolder.get(), sourceName, folder.get(), last, reason)
             ? CopyResult::Copied
             : CopyResult::Failed;
}

bool replaceFileWithCopy(const std::string& source, const std::string& target) {
  Fd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st{};
  if (!in.ok() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

  std::string pattern = target + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  Fd out(::mkostemp(buffer.data(), O_CLOEXEC));
  if (!out.ok()) return false;
  const std::string temporary = buffer.data();
  const bool written =
      ::fchmod(out.get(), 0644) == 0 && copyBytes(in.get(), out.get()) && out.close();
  if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool removeTree(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  Fd folder = openFolder(path, false);
  if (!folder.ok()) return false;
  const bool emptied = removeContentFd(folder.get(), 0);
  folder.reset();
  return emptied && ::rmdir(path.c_str()) == 0;
}

bool removeFolderContent(const std::string& folder) {
  Fd fd = openFolder(folder, true);
  if (!fd.ok()) return false;
  return removeContentFd(fd.get(), 0);
}

bool renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the no-replace flag: test, then rename.
  if (pathExists(to)) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool writeFileNoFollow(const std::string& path, const std::string& content) {
  Fd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  return out.ok() && writeAll(out.get(), content.data(), content.size()) && out.close();
}

std::vector<std::string> listRegularFiles(const std::string& folder) {
  std::vector<std::string> files;
  // Folders still to visit, as paths relative to folder ("" is the folder).
  std::deque<std::pair<std::string, int>> pending{{std::string(), 0}};
  while (!pending.empty()) {
    auto [relative, depth] = pending.front();
    pending.pop_front();
    Fd fd = relative.empty() ? openFolder(folder, true)
                             : openFolder(joinPath(folder, relative), false);
    if (!fd.ok()) continue;
    std::vector<std::string> names;
    listNames(fd.get(), names);
    for (const std::string& name : names) {
      struct stat st{};
      if (::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      const std::string path = relative.empty() ? name : relative + "/" + name;
      if (S_ISREG(st.st_mode)) {
        files.push_back(path);
      } else if (S_ISDIR(st.st_mode) && depth < kMaxDepth) {
        pending.emplace_back(path, depth + 1);
      }
    }
  }
  return files;
}

TreeSize measureTree(const std::string& folder) {
  TreeSize size;
  Fd fd = openFolder(folder, true);
  if (fd.ok()) measureFd(fd.get(), 0, size);
  return size;
}

std::optional<std::uint64_t> regularFileSize(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace kv::settings
