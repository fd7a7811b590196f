#include "publish_progress.h"

#include <cmath>

#include "figures.h"

namespace kv::tools {
namespace {

// Bytes per second once enough time has passed to tell; else negative.
double rateOf(const StepFigures& f) { return f.seconds >= 0.2 ? static_cast<double>(f.bytesDone) / f.seconds : -1.0; }

}  // namespace

std::string progressLine(const StepFigures& f) {
  constexpr int kWidth = 20;
  const double fraction =
      f.bytes > 0 ? static_cast<double>(f.bytesDone) / static_cast<double>(f.bytes)
                  : (f.files > 0 ? static_cast<double>(f.filesDone) / static_cast<double>(f.files) : 1.0);
  const int filled = static_cast<int>(std::floor(std::fmin(std::fmax(fraction, 0.0), 1.0) * kWidth));
  std::string line = f.name + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(kWidth - filled), '-') + "] ";
  line += std::to_string(f.filesDone) + "/" + std::to_string(f.files) + " files, " + byteText(f.bytesDone) + " of " +
          byteText(f.bytes);
  const double rate = rateOf(f);
  if (rate > 0.0) {
    line += ", " + byteText(static_cast<std::int64_t>(rate)) + "/s";
    if (f.bytes > f.bytesDone) line += ", " + durationText(static_cast<double>(f.bytes - f.bytesDone) / rate) + " left";
  }
  return line;
}

std::string stepDoneLine(const StepFigures& f) {
  std::string line = f.name + ": " + std::to_string(f.filesDone) + " files, " + byteText(f.bytesDone) + " in " +
                     durationText(f.seconds);
  const double rate = rateOf(f);
  if (rate > 0.0) line += " (" + byteText(static_cast<std::int64_t>(rate)) + "/s)";
  return line;
}

void ConsoleProgress::beginStep(const std::string& name, std::size_t files, std::int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  step_ = StepFigures{name, 0, files, 0, bytes, 0.0};
  start_ = Clock::now();
  lastDraw_ = start_;
  active_ = true;
  if (terminal_) redraw();
}

void ConsoleProgress::advance(std::size_t files, std::int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  step_.filesDone += files;
  step_.bytesDone += bytes;
  if (terminal_ && Clock::now() - lastDraw_ >= std::chrono::milliseconds(100)) redraw();
}

void ConsoleProgress::endStep() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!active_) return;
  active_ = false;
  std::string line = stepDoneLine(figuresNow());
  if (terminal_) line = "\r" + line + "\x1b[K";
  std::fprintf(stream_, "%s\n", line.c_str());
  std::fflush(stream_);
}

StepFigures ConsoleProgress::figuresNow() const {
  StepFigures figures = step_;
  figures.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  return figures;
}

void ConsoleProgress::redraw() {
  lastDraw_ = Clock::now();
  std::string line = progressLine(figuresNow());
  // The last column stays free: writing into it makes some terminals wrap.
  const auto width = static_cast<std::size_t>(columns_);
  if (columns_ > 1 && line.size() >= width) line.resize(width - 1);
  std::fprintf(stream_, "\r%s\x1b[K", line.c_str());
  std::fflush(stream_);
}

}  // namespace kv::tools
