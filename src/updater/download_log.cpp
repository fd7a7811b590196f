#include "updater/download_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>

namespace kv::updater {
namespace {

// Serialises the appends of this process's workers; other processes rely on
// the single append.
std::mutex& logMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string localTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char buffer[64];
  if (::localtime_r(&now, &local) == nullptr) return "";
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buffer, length);
}

}  // namespace

std::string downloadLogLine(std::string_view timeStamp, std::string_view message) {
  std::string line;
  line.reserve(timeStamp.size() + message.size() + 4);
  line += '[';
  line += timeStamp;
  line += "] ";
  line += message;
  line += '\n';
  return line;
}

void writeDownloadLog(const std::string& logPath, std::string_view message) {
  const std::string line = downloadLogLine(localTimeStamp(), message);
  std::lock_guard<std::mutex> lock(logMutex());
  const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  ::close(fd);
}

}  // namespace kv::updater
