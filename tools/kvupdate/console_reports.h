#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/report.h"

namespace kv::tools {

// How an update run ended, as its reports told.
enum class RunEnd { None, Ready, Error };

// Prints an update run's reports. On a terminal one line is redrawn in
// place: a progress bar, its percentage and the status text; otherwise each
// status text is printed on a line of its own and progress is not shown.
// The ready report prints "Client is ready to play", an error its text.
// Control characters in texts are printed as '?'. Any thread; post never
// fails.
class ConsoleReports : public platform::ReportSink {
 public:
  // columns: the terminal's width; the redrawn line is cut to it (0: no
  // limit).
  ConsoleReports(std::FILE* stream, bool terminal, int columns = 0)
      : stream_(stream), terminal_(terminal), columns_(columns) {}

  [[nodiscard]] bool post(platform::Report report) override;

  // Ends a line left open on a terminal.
  void finish();

  // The last ready or error report seen.
  RunEnd end() const;
  const std::string& errorText() const { return errorText_; }
  // The reason the last error report gave ("" when it gave none).
  const std::string& errorReason() const { return errorReason_; }

 private:
  void drawBar();
  void printLine(const std::string& text);

  std::FILE* stream_;
  const bool terminal_;
  const int columns_;
  mutable std::mutex mutex_;  // guards everything below and the stream
  float progress_ = 0.0f;
  std::string status_;
  bool lineOpen_ = false;
  RunEnd end_ = RunEnd::None;
  std::string errorText_;
  std::string errorReason_;
};

// The bar drawn on a terminal for a fraction of 0..1 (clamped): width cells
// between brackets, '#' for the done part, '-' for the rest, then the
// percentage.
std::string progressBar(float fraction, int width);

// text cut to at most columns characters (UTF-8 sequences are kept whole).
std::string cutToColumns(const std::string& text, std::size_t columns);

// The text shown when a server's client is ready.
inline constexpr const char* kReadyText = "Client is ready to play";

}  // namespace kv::tools
