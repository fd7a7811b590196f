#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/linux_machine.h"

namespace kv::platform::linux_backend {
namespace {

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

LinuxMachine::LinuxMachine(std::string identityFiles, OpenGLProbe probe)
    : identityFiles_(std::move(identityFiles)), probe_(std::move(probe)) {}

std::optional<std::string> LinuxMachine::probeOpenGLVersion() { return probe_ ? probe_() : std::nullopt; }

LinuxMachine::~LinuxMachine() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::string LinuxMachine::executablePath() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::string LinuxMachine::profileFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  // No HOME (a service, a bare environment): the user's entry in the
  // password database.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (std::size_t{1} << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr) return {};
  return found->pw_dir;
}

std::string LinuxMachine::machineIdentity() {
  std::size_t start = 0;
  while (start <= identityFiles_.size()) {
    std::size_t end = identityFiles_.find(':', start);
    if (end == std::string::npos) end = identityFiles_.size();
    const std::string path = identityFiles_.substr(start, end - start);
    std::ifstream in(path);
    std::string line;
    if (in && std::getline(in, line)) {
      line = trimmed(line);
      // The same cut as the 256-byte buffer of the registry read.
      if (!line.empty()) return line.substr(0, 255);
    }
    start = end + 1;
  }
  return "unknown";
}

bool LinuxMachine::runtimeInstalled() {
  // The game client's runtime comes with the system on Linux.
  return true;
}

bool LinuxMachine::is64Bit() {
  struct utsname names{};
  if (::uname(&names) != 0) return sizeof(void*) == 8;
  const std::string machine = names.machine;
  return machine.find("64") != std::string::npos || machine == "s390x";
}

bool LinuxMachine::claimSingleInstance(const std::string& className) {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = runtimeDir != nullptr && *runtimeDir != '\0' ? runtimeDir : "/tmp";
  struct stat st{};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) folder = "/tmp";
  const std::string path = folder + "/" + className + "-" + std::to_string(::getuid()) + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return true;  // no place for a lock: do not stop the player
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  // Held until the process ends; the kernel drops it even after a crash.
  lockFd_ = fd;
  return true;
}

}  // namespace kv::platform::linux_backend
