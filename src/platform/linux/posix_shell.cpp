#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/linux/linux_platform.h"

extern "C" char** environ;

namespace kv::platform::linux_backend {
namespace {

// The search path used when PATH is not set, as the C library's own.
constexpr const char* kDefaultSearchPath = "/bin:/usr/bin";
constexpr const char* kWineProgram = "wine";
constexpr const char* kUrlOpener = "xdg-open";
constexpr const char* kNullDevice = "/dev/null";

// Collects the child's waiting status on a thread of its own, so that a
// finished child leaves no zombie while the launcher runs on and nobody on
// the main thread ever waits for it.
void reapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the child is collected when the launcher exits.
  }
}

bool isRegularFile(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The first executable file named name in the folders of PATH; empty entries
// (the current folder) are not searched.
std::string findInPath(const std::string& name) {
  const char* value = std::getenv("PATH");
  const std::string path = value != nullptr ? value : kDefaultSearchPath;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    const std::string folder = path.substr(start, end - start);
    if (!folder.empty()) {
      const std::string candidate = folder + "/" + name;
      if (isRegularFile(candidate) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return {};
}

// Whether the file starts with the "MZ" mark of a Windows executable.
bool isWindowsExecutable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  std::array<char, 2> mark{};
  ssize_t n = 0;
  do {
    n = ::pread(fd, mark.data(), mark.size(), 0);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == 2 && mark[0] == 'M' && mark[1] == 'Z';
}

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? std::string() : absolute.string();
}

// Owns the spawn attributes and file actions of one start.
class SpawnSetup {
 public:
  SpawnSetup() {
    okay_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    okay_ = ::posix_spawnattr_init(&attributes_) == 0 && okay_;
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // A new session, default signal handling, an empty signal mask, the
  // standard streams on the null device, nothing else inherited, and the
  // given working directory (none: the launcher's).
  bool prepare(const std::string& workingDirectory) {
    if (!okay_) return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    const short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (::posix_spawnattr_setflags(&attributes_, flags) != 0 ||
        ::posix_spawnattr_setsigmask(&attributes_, &none) != 0 ||
        ::posix_spawnattr_setsigdefault(&attributes_, &all) != 0) {
      return false;
    }
    if (::posix_spawn_file_actions_addopen(&actions_, 0, kNullDevice, O_RDONLY, 0) != 0 ||
        ::posix_spawn_file_actions_addopen(&actions_, 1, kNullDevice, O_WRONLY, 0) != 0 ||
        ::posix_spawn_file_actions_adddup2(&actions_, 1, 2) != 0 ||
        ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3) != 0) {
      return false;
    }
    if (!workingDirectory.empty() &&
        ::posix_spawn_file_actions_addchdir_np(&actions_, workingDirectory.c_str()) != 0) {
      return false;
    }
    return true;
  }

  // Starts program (a path, or a name searched along PATH) with the given
  // argument vector; the child's status is collected in the background. The
  // C library reports a failed exec here, so false covers every failure.
  bool spawn(const std::string& program, const std::vector<std::string>& arguments,
             bool searchPath) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = searchPath
                       ? ::posix_spawnp(&pid, program.c_str(), &actions_, &attributes_, argv.data(), environ)
                       : ::posix_spawn(&pid, program.c_str(), &actions_, &attributes_, argv.data(), environ);
    if (rc != 0) return false;
    reapInBackground(pid);
    return true;
  }

 private:
  bool okay_ = false;
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
};

}  // namespace

void LinuxShell::openUrl(const std::string& url) {
  // An address that looks like an option would be read as one.
  if (url.empty() || url.front() == '-') return;
  SpawnSetup setup;
  if (!setup.prepare({})) return;
  (void)setup.spawn(kUrlOpener, {kUrlOpener, url}, true);
}

bool LinuxShell::startProcess(const std::string& executable, const std::string& workingDirectory) {
  if (executable.empty() || workingDirectory.empty()) return false;
  // A relative path means the launcher's working directory, not the new one.
  const std::string program = absolutePath(executable);
  const std::string folder = absolutePath(workingDirectory);
  if (program.empty() || folder.empty()) return false;
  // Checked first so that the common failures come back at once and alike.
  if (!isRegularFile(program) || !isDirectory(folder)) return false;

  SpawnSetup setup;
  if (!setup.prepare(folder)) return false;
  if (isWindowsExecutable(program)) {
    // A Windows program runs through the compatibility layer, when there is
    // one; it needs no execute permission of its own.
    const std::string wine = findInPath(kWineProgram);
    if (wine.empty()) return false;
    return setup.spawn(wine, {wine, program}, false);
  }
  if (::access(program.c_str(), X_OK) != 0) return false;
  return setup.spawn(program, {program}, false);
}

}  // namespace kv::platform::linux_backend
