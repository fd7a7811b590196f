#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern "C" char** environ;

namespace kv::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (const std::string& s : strings) result.push_back(const_cast<char*>(s.c_str()));
  result.push_back(nullptr);
  return result;
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int waitStatus(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::vector<std::string> environmentWithout(const std::vector<std::string>& names) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    bool dropped = false;
    for (const std::string& name : names) {
      if (text.compare(0, name.size() + 1, name + "=") == 0) dropped = true;
    }
    if (!dropped) result.push_back(text);
  }
  return result;
}

ChildResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       int timeoutSeconds) {
  ChildResult result;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  auto args = pointers(argv);
  auto envp = pointers(env);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    return result;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  bool open = true;
  while (open) {
    pollfd p{pipeFds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // timed out
    char buffer[4096];
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      open = false;
    }
  }
  ::close(pipeFds[0]);
  if (open) ::kill(pid, SIGKILL);
  result.exitCode = waitStatus(pid);
  result.finished = !open;
  return result;
}

bool makeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

FifoReader::FifoReader(const std::string& path)
    // Non-blocking, so that opening does not wait for a writer; until a
    // writer has connected, poll reports nothing.
    : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}

FifoReader::~FifoReader() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> FifoReader::readAll(int timeoutSeconds) {
  if (fd_ < 0) return std::nullopt;
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  std::string content;
  while (true) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return content;  // the writer closed its end
    } else if (errno != EINTR && errno != EAGAIN) {
      return std::nullopt;
    }
  }
}

XvfbServer::~XvfbServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    (void)waitStatus(pid_);
  }
}

bool XvfbServer::start(int timeoutSeconds) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  // The server writes its display number to descriptor 3 once it listens.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const std::vector<std::string> argv = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                         "-screen", "0", "640x480x24"};
  auto args = pointers(argv);
  const int rc = ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(pipeFds[0]);
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  std::string number;
  while (number.find('\n') == std::string::npos) {
    pollfd p{pipeFds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[64];
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  const auto newline = number.find('\n');
  if (newline == std::string::npos || newline == 0) return false;
  display_ = ":" + number.substr(0, newline);
  return true;
}

}  // namespace kv::test
