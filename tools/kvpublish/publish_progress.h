#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kv::tools {

// Told how a publication advances, step by step ("hashing", "copying").
// advance may be called from several threads at once.
class PublishProgress {
 public:
  virtual ~PublishProgress() = default;
  virtual void beginStep(const std::string& name, std::size_t files, std::int64_t bytes) = 0;
  virtual void advance(std::size_t files, std::int64_t bytes) = 0;
  virtual void endStep() = 0;
};

// Where one step stands.
struct StepFigures {
  std::string name;
  std::size_t filesDone = 0, files = 0;
  std::int64_t bytesDone = 0, bytes = 0;
  double seconds = 0.0;  // since the step began
};

// The line redrawn on a terminal: name, a bar, files and bytes done of the
// total, the rate and the time left (once the rate is known).
std::string progressLine(const StepFigures& figures);

// The line a finished step leaves: files, bytes, time and rate.
std::string stepDoneLine(const StepFigures& figures);

// Progress on a console: on a terminal one line redrawn in place (at most
// ten times a second, cut to columns when that is not 0), ended by the
// step's done line; otherwise only the done line of each step.
class ConsoleProgress : public PublishProgress {
 public:
  ConsoleProgress(std::FILE* stream, bool terminal, int columns = 0)
      : stream_(stream), terminal_(terminal), columns_(columns) {}

  void beginStep(const std::string& name, std::size_t files, std::int64_t bytes) override;
  void advance(std::size_t files, std::int64_t bytes) override;
  void endStep() override;

 private:
  using Clock = std::chrono::steady_clock;
  StepFigures figuresNow() const;
  void redraw();

  std::FILE* stream_;
  const bool terminal_;
  const int columns_;
  std::mutex mutex_;  // guards what follows and the stream
  StepFigures step_;
  Clock::time_point start_{};
  Clock::time_point lastDraw_{};
  bool active_ = false;
};

}  // namespace kv::tools
