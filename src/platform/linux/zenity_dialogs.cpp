#include "platform/linux/zenity_dialogs.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/linux_platform.h"

extern "C" char** environ;

namespace kv::platform::linux_backend {
namespace {

constexpr const char* kDialogProgram = "zenity";
constexpr const char* kNullDevice = "/dev/null";
// A path longer than this is not an answer the dialog gives.
constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

// The launcher's environment with the dialog's two settings put in place of
// any values they had.
std::vector<std::string> dialogEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.rfind("NO_AT_BRIDGE=", 0) == 0 || text.rfind("GSETTINGS_BACKEND=", 0) == 0) continue;
    entries.push_back(text);
  }
  entries.emplace_back("NO_AT_BRIDGE=1");
  entries.emplace_back("GSETTINGS_BACKEND=memory");
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// How long one wait for the dialog lasts before whileWaiting runs again.
constexpr int kWaitSliceMs = 15;

// Reads everything from fd until the end; keeps at most limit bytes and sets
// overflow when there was more. Calls whileWaiting whenever nothing arrived
// for a slice.
std::string readToEnd(int fd, bool& overflow, const std::function<void()>& whileWaiting) {
  std::string out;
  char buffer[4096];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, whileWaiting ? kWaitSliceMs : -1);
    if (polled == 0) {
      whileWaiting();
      continue;
    }
    if (polled < 0 && errno != EINTR) break;
    if (polled < 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (got == 0) break;
    if (out.size() + static_cast<std::size_t>(got) > kMaxAnswerBytes) {
      overflow = true;
    } else {
      out.append(buffer, static_cast<std::size_t>(got));
    }
  }
  return out;
}

// Starts program with its standard output on outputFd and its standard
// input and error on the null device. 0 when it could not start.
pid_t startDialog(const std::string& program, const std::vector<std::string>& arguments,
                  int outputFd) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp = dialogEnvironment();
  std::vector<char*> argvPointers = pointersTo(argv);
  std::vector<char*> envpPointers = pointersTo(envp);

  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return 0;
  bool prepared = ::posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO) == 0 &&
                  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, kNullDevice,
                                                     O_RDONLY, 0) == 0 &&
                  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, kNullDevice,
                                                     O_WRONLY, 0) == 0 &&
                  ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
  pid_t pid = 0;
  if (prepared && ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argvPointers.data(),
                                 envpPointers.data()) != 0) {
    pid = 0;
  }
  ::posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool pathExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::vector<std::string> fileDialogArguments(FileDialogKind kind, const std::string& defaultName,
                                             const std::string& typeName,
                                             const std::string& pattern,
                                             unsigned long parentWindow) {
  std::vector<std::string> arguments{"--file-selection"};
  if (kind == FileDialogKind::Save) {
    arguments.emplace_back("--save");
    // Choosing an existing file asks before it is replaced.
    arguments.emplace_back("--confirm-overwrite");
    arguments.push_back("--filename=" + defaultName);
  }
  arguments.push_back("--file-filter=" + typeName + " | " + pattern);
  if (parentWindow != 0) arguments.push_back("--attach=" + std::to_string(parentWindow));
  return arguments;
}

ChosenPath runFileDialog(const std::string& program, FileDialogKind kind,
                         const std::vector<std::string>& arguments,
                         const std::function<void(int pid)>& whileWaitingFor) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = startDialog(program, arguments, pipeFds[1]);
  ::close(pipeFds[1]);
  if (pid == 0) {
    ::close(pipeFds[0]);
    return std::nullopt;
  }
  std::function<void()> whileWaiting;
  if (whileWaitingFor) whileWaiting = [&whileWaitingFor, pid] { whileWaitingFor(static_cast<int>(pid)); };
  bool overflow = false;
  std::string answer = readToEnd(pipeFds[0], overflow, whileWaiting);
  ::close(pipeFds[0]);

  // The program closed its output; it may still take a moment to exit.
  int status = 0;
  pid_t waited = 0;
  for (;;) {
    waited = ::waitpid(pid, &status, whileWaiting ? WNOHANG : 0);
    if (waited < 0 && errno == EINTR) continue;
    if (waited != 0) break;
    whileWaiting();
    ::poll(nullptr, 0, kWaitSliceMs);
  }
  if (waited != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || overflow) {
    return std::nullopt;
  }
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  if (answer.empty()) return std::nullopt;
  if (kind == FileDialogKind::Open && !pathExists(answer)) return std::nullopt;
  return answer;
}

std::function<void(int)> LinuxDialogs::keepWindowPainted() {
  if (!window_.onWindowThread()) return {};
  // The file dialog does not take the launcher as its parent by itself: once
  // its window shows, it is marked as the launcher's, so the launcher never
  // covers it.
  return [this, held = false](int pid) mutable {
    if (!held) held = window_.holdAbove(pid);
    window_.keepPaintedWhileBlocked();
  };
}

ChosenPath LinuxDialogs::chooseSaveFile(const std::string& title, const std::string& defaultName,
                                        const std::string& typeName, const std::string& pattern) {
  std::vector<std::string> arguments =
      fileDialogArguments(FileDialogKind::Save, defaultName, typeName, pattern, window_.x11WindowId());
  if (!title.empty()) arguments.push_back("--title=" + title);
  return runFileDialog(kDialogProgram, FileDialogKind::Save, arguments, keepWindowPainted());
}

ChosenPath LinuxDialogs::chooseOpenFile(const std::string& title, const std::string& typeName,
                                        const std::string& pattern) {
  std::vector<std::string> arguments =
      fileDialogArguments(FileDialogKind::Open, {}, typeName, pattern, window_.x11WindowId());
  if (!title.empty()) arguments.push_back("--title=" + title);
  return runFileDialog(kDialogProgram, FileDialogKind::Open, arguments, keepWindowPainted());
}

}  // namespace kv::platform::linux_backend
