// kv_window_probe: starts a program under the current X display and measures
// its window from the outside.
//
//   kv_window_probe [--name TITLE] [--timeout-ms N] [--settle-ms N]
//                   [--idle-ms N] [--xserver-pid PID] -- PROGRAM [ARGS...]
//
// It notes the time, starts PROGRAM, and polls the X server until a viewable
// window titled TITLE exists (window_ms) and until at least a quarter of that
// window's pixels are not black, which is the first frame the program
// presented (frame_ms). It then reads the program's resident memory, waits
// settle_ms for start-up work to end, and measures the processor time the
// program (and, when given, the X server) used during idle_ms in which
// nothing happens on the display. Finally it asks the program to end
// (SIGTERM, SIGKILL after 5 s). Results go to standard output as key=value
// lines; the exit status is 0 when every figure was taken.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Options {
  std::string name = "Vandrel";
  long timeoutMs = 30000;
  long settleMs = 2000;
  long idleMs = 10000;
  pid_t xserverPid = 0;
  std::vector<std::string> command;
};

double nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void sleepMs(long ms) {
  timespec ts{};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

int ignoreXError(Display*, XErrorEvent*) { return 0; }

bool parseOptions(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--name") {
      options.name = value;
    } else if (arg == "--timeout-ms") {
      options.timeoutMs = std::atol(value.c_str());
    } else if (arg == "--settle-ms") {
      options.settleMs = std::atol(value.c_str());
    } else if (arg == "--idle-ms") {
      options.idleMs = std::atol(value.c_str());
    } else if (arg == "--xserver-pid") {
      options.xserverPid = static_cast<pid_t>(std::atol(value.c_str()));
    } else {
      return false;
    }
  }
  for (; i < argc; ++i) options.command.emplace_back(argv[i]);
  return !options.command.empty() && options.timeoutMs > 0 && options.idleMs > 0;
}

// The window's title (WM_NAME), or "" when it has none.
std::string titleOf(Display* display, Window window) {
  char* name = nullptr;
  if (XFetchName(display, window, &name) == 0 || name == nullptr) return {};
  std::string title = name;
  XFree(name);
  return title;
}

// A viewable window titled name below (or at) window, searched depth first;
// 0 when there is none.
Window findViewable(Display* display, Window window, const std::string& name, int depth) {
  if (titleOf(display, window) == name) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, window, &attributes) != 0 && attributes.map_state == IsViewable) {
      return window;
    }
  }
  if (depth >= 4) return 0;
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return 0;
  Window found = 0;
  for (unsigned int i = 0; i < count && found == 0; ++i) found = findViewable(display, children[i], name, depth + 1);
  if (children != nullptr) XFree(children);
  return found;
}

// Whether at least a quarter of the window's pixels are not black; false
// also when the image cannot be read yet.
bool showsFrame(Display* display, Window window) {
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display, window, &attributes) == 0 || attributes.width <= 0 ||
      attributes.height <= 0) {
    return false;
  }
  XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                            static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
  if (image == nullptr) return false;
  std::int64_t lit = 0;
  for (int y = 0; y < attributes.height; ++y) {
    for (int x = 0; x < attributes.width; ++x) {
      const unsigned long pixel = XGetPixel(image, x, y);
      const unsigned long red = (pixel >> 16) & 0xff;
      const unsigned long green = (pixel >> 8) & 0xff;
      const unsigned long blue = pixel & 0xff;
      if (red > 16 || green > 16 || blue > 16) ++lit;
    }
  }
  XDestroyImage(image);
  const std::int64_t total = static_cast<std::int64_t>(attributes.width) * attributes.height;
  return lit * 4 >= total;
}

// utime + stime in clock ticks from a /proc stat file, -1 when it cannot be
// read; name receives the command name.
long long ticksFromStat(const std::string& statPath, std::string* name) {
  std::ifstream in(statPath);
  std::string line;
  if (!std::getline(in, line)) return -1;
  // The command name is in parentheses and may hold blanks: count fields
  // after the last ')'. Field 3 (state) follows it; utime is field 14.
  const std::size_t open = line.find('(');
  const std::size_t close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return -1;
  if (name != nullptr) *name = line.substr(open + 1, close - open - 1);
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  long long utime = -1;
  long long stime = -1;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) utime = std::atoll(field.c_str());
    if (index == 15) {
      stime = std::atoll(field.c_str());
      break;
    }
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// utime + stime of a whole process in clock ticks, -1 when it cannot be read.
long long cpuTicks(pid_t pid) { return ticksFromStat("/proc/" + std::to_string(pid) + "/stat", nullptr); }

// Ticks of every thread of a process: "thread id name" -> ticks.
std::map<std::string, long long> threadTicks(pid_t pid) {
  std::map<std::string, long long> ticks;
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::string name;
    const long long value = ticksFromStat((task.path() / "stat").string(), &name);
    if (value >= 0) ticks[task.path().filename().string() + " " + name] = value;
  }
  return ticks;
}

// A "Key:   value kB" (or plain number) line of /proc/<pid>/status; -1 when
// missing.
long long statusValue(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) return std::atoll(line.c_str() + key.size() + 1);
  }
  return -1;
}

bool stillRunning(pid_t pid, int& status) { return waitpid(pid, &status, WNOHANG) == 0; }

// Ends the program: SIGTERM, then SIGKILL after 5 s. Answers its exit status
// text.
std::string endProgram(pid_t pid) {
  int status = 0;
  if (stillRunning(pid, status)) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 500 && stillRunning(pid, status); ++i) sleepMs(10);
    if (stillRunning(pid, status)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return "killed";
    }
  }
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: kv_window_probe [--name TITLE] [--timeout-ms N] [--settle-ms N] [--idle-ms N] "
                 "[--xserver-pid PID] -- PROGRAM [ARGS...]\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "kv_window_probe: cannot open the X display\n");
    return 1;
  }
  XSetErrorHandler(ignoreXError);
  const Window root = XDefaultRootWindow(display);

  std::vector<char*> childArgs;
  for (auto& arg : options.command) childArgs.push_back(arg.data());
  childArgs.push_back(nullptr);
  const double start = nowMs();
  pid_t pid = 0;
  if (posix_spawnp(&pid, childArgs[0], nullptr, nullptr, childArgs.data(), environ) != 0) {
    std::fprintf(stderr, "kv_window_probe: cannot start %s\n", childArgs[0]);
    return 1;
  }

  int status = 0;
  Window window = 0;
  double windowMs = -1;
  double frameMs = -1;
  while (nowMs() - start < static_cast<double>(options.timeoutMs)) {
    if (!stillRunning(pid, status)) break;
    if (window == 0) {
      window = findViewable(display, root, options.name, 0);
      if (window != 0) windowMs = nowMs() - start;
    }
    if (window != 0 && showsFrame(display, window)) {
      frameMs = nowMs() - start;
      break;
    }
    sleepMs(2);
  }
  bool ok = frameMs >= 0;
  std::printf("window_ms=%.1f\nframe_ms=%.1f\n", windowMs, frameMs);
  if (ok) {
    std::printf("rss_after_frame_kib=%lld\n", statusValue(pid, "VmRSS"));
    sleepMs(options.settleMs);
    std::printf("rss_after_settle_kib=%lld\n", statusValue(pid, "VmRSS"));
    const long long ticksBefore = cpuTicks(pid);
    const long long xBefore = options.xserverPid > 0 ? cpuTicks(options.xserverPid) : -1;
    const long long switchesBefore = statusValue(pid, "voluntary_ctxt_switches");
    const std::map<std::string, long long> threadsBefore = threadTicks(pid);
    const long long mainBefore =
        ticksFromStat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat", nullptr);
    const double idleStart = nowMs();
    sleepMs(options.idleMs);
    const double idleSeconds = (nowMs() - idleStart) / 1000.0;
    const long long ticksAfter = cpuTicks(pid);
    const long long xAfter = options.xserverPid > 0 ? cpuTicks(options.xserverPid) : -1;
    const long long switchesAfter = statusValue(pid, "voluntary_ctxt_switches");
    const std::map<std::string, long long> threadsAfter = threadTicks(pid);
    ok = ticksBefore >= 0 && ticksAfter >= 0 && stillRunning(pid, status);
    std::printf("idle_seconds=%.2f\nticks_per_second=%ld\nidle_ticks=%lld\n", idleSeconds, sysconf(_SC_CLK_TCK),
                ticksAfter - ticksBefore);
    std::printf("idle_voluntary_switches=%lld\n", switchesAfter - switchesBefore);
    // Threads that used processor time while idle ("name:ticks", by thread).
    std::string busy;
    for (const auto& [thread, after] : threadsAfter) {
      const auto before = threadsBefore.find(thread);
      const long long used = after - (before == threadsBefore.end() ? 0 : before->second);
      if (used > 0)
        busy += (busy.empty() ? "" : ",") + thread.substr(thread.find(' ') + 1) + ":" + std::to_string(used);
    }
    std::printf("idle_threads=%s\nthreads=%zu\n", busy.c_str(), threadsAfter.size());
    const std::string mainThread = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat";
    std::printf("idle_main_thread_ticks=%lld\n", ticksFromStat(mainThread, nullptr) - mainBefore);
    if (options.xserverPid > 0) std::printf("xserver_idle_ticks=%lld\n", xAfter - xBefore);
    std::printf("peak_rss_kib=%lld\n", statusValue(pid, "VmHWM"));
  }
  std::printf("program_end=%s\n", endProgram(pid).c_str());
  XCloseDisplay(display);
  return ok ? 0 : 1;
}
