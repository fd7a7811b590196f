#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "publish_progress.h"

// The work shared by the publication targets: parallel steps and their progress.
namespace kv::tools {

// Tells progress the bytes of one file as they are read, never more than the
// file's size however often it is read (a site copy checked, then copied and
// checked again).
class FileMeter {
 public:
  FileMeter(PublishProgress* progress, std::int64_t size) : progress_(progress), size_(size) {}
  void add(std::int64_t bytes) {
    const std::int64_t now = std::min(size_, seen_ += bytes);
    if (progress_ != nullptr && now > reported_) progress_->advance(0, now - reported_);
    reported_ = std::max(reported_, now);
  }
  // The file is done: the rest of its bytes and the file itself.
  void finish() {
    if (progress_ != nullptr) progress_->advance(1, size_ - reported_);
    reported_ = size_;
  }
  std::function<void(std::int64_t)> callback() {
    return [this](std::int64_t bytes) { add(bytes); };
  }

 private:
  PublishProgress* progress_;
  std::int64_t size_;
  std::int64_t seen_ = 0;
  std::int64_t reported_ = 0;
};

// Runs work(i) for every i below count on up to threads threads; stops
// handing out indexes once a call answered false.
void forEachIndex(std::size_t count, unsigned threads, const std::function<bool(std::size_t)>& work);

// The errors of a parallel step, in file order.
void collectErrors(const std::vector<std::string>& errors, std::vector<std::string>& problems);

// One step of a publication, begun and ended on progress (which may be null).
class Step {
 public:
  Step(PublishProgress* progress, const std::string& name, std::size_t files, std::int64_t bytes)
      : progress_(progress) {
    if (progress_ != nullptr) progress_->beginStep(name, files, bytes);
  }
  ~Step() {
    if (progress_ != nullptr) progress_->endStep();
  }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;

 private:
  PublishProgress* progress_;
};

}  // namespace kv::tools
