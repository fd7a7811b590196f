#include "console_reports.h"

#include <cmath>

#include "printable_text.h"

namespace kv::tools {

std::string progressBar(float fraction, int width) {
  if (!(fraction >= 0.0f)) fraction = 0.0f;  // also NaN
  if (fraction > 1.0f) fraction = 1.0f;
  const int done = static_cast<int>(std::floor(fraction * static_cast<float>(width)));
  std::string bar = "[";
  bar.append(static_cast<std::size_t>(done), '#');
  bar.append(static_cast<std::size_t>(width - done), '-');
  bar += "] ";
  const int percent = static_cast<int>(fraction * 100.0f);
  std::string number = std::to_string(percent);
  bar.append(3 - std::min<std::size_t>(3, number.size()), ' ');
  bar += number + "%";
  return bar;
}

bool ConsoleReports::post(platform::Report report) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (report.kind) {
    case platform::ReportKind::Status:
      status_ = report.text;
      if (terminal_) {
        drawBar();
      } else {
        printLine(report.text);
      }
      break;
    case platform::ReportKind::Progress:
      progress_ = report.progress;
      if (terminal_) drawBar();
      break;
    case platform::ReportKind::Ready:
      end_ = RunEnd::Ready;
      progress_ = 1.0f;
      status_ = kReadyText;
      if (terminal_) {
        drawBar();
        std::fputc('\n', stream_);
        lineOpen_ = false;
      } else {
        printLine(kReadyText);
      }
      break;
    case platform::ReportKind::Error:
      end_ = RunEnd::Error;
      errorText_ = report.text;
      errorReason_ = report.reason;
      if (terminal_ && lineOpen_) {
        std::fputc('\n', stream_);
        lineOpen_ = false;
      }
      printLine(report.text);
      break;
  }
  std::fflush(stream_);
  return true;
}

void ConsoleReports::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lineOpen_) {
    std::fputc('\n', stream_);
    lineOpen_ = false;
    std::fflush(stream_);
  }
}

RunEnd ConsoleReports::end() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return end_;
}

std::string cutToColumns(const std::string& text, std::size_t columns) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // continuation byte
    if (count == columns) return text.substr(0, i);
    ++count;
  }
  return text;
}

void ConsoleReports::drawBar() {
  std::string line = progressBar(progress_, 30) + " " + printableText(status_);
  // The last column stays free: writing into it makes some terminals wrap.
  if (columns_ > 1) line = cutToColumns(line, static_cast<std::size_t>(columns_ - 1));
  line = "\r" + line + "\x1b[K";
  std::fwrite(line.data(), 1, line.size(), stream_);
  lineOpen_ = true;
}

void ConsoleReports::printLine(const std::string& text) {
  const std::string printable = printableText(text);
  std::fwrite(printable.data(), 1, printable.size(), stream_);
  std::fputc('\n', stream_);
}

}  // namespace kv::tools
