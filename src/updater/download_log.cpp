#include "updater/download_log.h"

#include <ctime>
#include <mutex>
#include <optional>

#include "platform/file_system.h"
#include "platform/local_time.h"
#include "updater/endpoints.h"

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
  const std::optional<std::tm> local = platform::localTime(now);
  if (!local) return "";
  char buffer[64];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &*local);
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

std::string smallRequestProblem(const TransferResult& result) {
  switch (result.outcome) {
    case TransferOutcome::Completed:
    case TransferOutcome::Aborted:
      if (result.status == 0 || result.status == 200) return "";
      return std::string(kLogHttpStatusPrefix) + std::to_string(result.status);
    case TransferOutcome::InitFailed:
      return std::string(kLogInitFailed);
    case TransferOutcome::Failed:
      break;
  }
  return std::string(kLogPerformErrorPrefix) + result.errorText;
}

void writeDownloadLog(const std::string& logPath, std::string_view message) {
  const std::string line = downloadLogLine(localTimeStamp(), message);
  std::lock_guard<std::mutex> lock(logMutex());
  platform::File file = platform::openForWriting(logPath, platform::WriteMode::Append, platform::FinalLink::Follow);
  if (!file.ok()) return;
  // A line that cannot be written is lost; the download goes on.
  (void)file.write(line.data(), line.size());
  (void)file.close();
}

}  // namespace kv::updater
