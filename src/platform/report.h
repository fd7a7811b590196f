#pragma once

#include <string>

namespace kv::platform {

// What an updater worker tells the window. Workers post these by value; the
// main thread applies them to the server's status record.
enum class ReportKind { Status, Progress, Ready, Error };

struct Report {
  ReportKind kind = ReportKind::Status;
  int server = 0;         // the server index the report is about (1 or 2)
  std::string text;       // Status and Error: the line shown under the bar (UTF-8)
  float progress = 0.0f;  // Progress: fraction 0..1
  // Error: why the step failed, for logs and consoles ("" when not known).
  // The window never shows it.
  std::string reason;
};

// Where workers post their reports. post() may be called from any thread; it
// answers false when the report could not be queued (the report is dropped).
class ReportSink {
 public:
  virtual ~ReportSink() = default;
  [[nodiscard]] virtual bool post(Report report) = 0;
};

}  // namespace kv::platform
