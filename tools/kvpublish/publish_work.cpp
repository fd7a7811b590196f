#include "publish_work.h"

#include <atomic>
#include <thread>

namespace kv::tools {

// Runs work(i) for every i below count on up to threads threads; stops
// handing out indexes once a call answered false.
void forEachIndex(std::size_t count, unsigned threads, const std::function<bool(std::size_t)>& work) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  const auto loop = [&] {
    for (std::size_t i = next++; i < count && !failed.load(); i = next++) {
      if (!work(i)) failed = true;
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(loop);
  loop();
  for (auto& helper : helpers) helper.join();
}

// The errors of a parallel step, in file order.
void collectErrors(const std::vector<std::string>& errors, std::vector<std::string>& problems) {
  for (const auto& error : errors) {
    if (!error.empty()) problems.push_back(error);
  }
}

}  // namespace kv::tools
