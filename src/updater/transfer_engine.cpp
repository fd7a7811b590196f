#include "updater/transfer_engine.h"

#include <deque>
#include <utility>

namespace kv::updater {
namespace {

class SequentialEngine final : public TransferEngine {
 public:
  SequentialEngine(HttpTransport& transport, int width) : transport_(transport), width_(width < 1 ? 1 : width) {}

  int width() const override { return width_; }
  bool narrow() override {
    if (width_ <= 1) return false;
    width_ /= 2;
    return true;
  }

  void start(std::uint64_t id, TransferOrder order) override { queue_.emplace_back(id, std::move(order)); }

  void stop(std::uint64_t id) override {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
      if (it->first == id) {
        queue_.erase(it);
        return;
      }
    }
  }

  void wait(std::chrono::milliseconds /*timeout*/, std::vector<FinishedTransfer>& finished) override {
    if (queue_.empty()) return;
    auto [id, order] = std::move(queue_.front());
    queue_.pop_front();
    FinishedTransfer done;
    done.id = id;
    done.result = transport_.download(order.url, order.sink, order.progress, order.maxBytes, order.range);
    finished.push_back(std::move(done));
  }

 private:
  HttpTransport& transport_;
  int width_;
  std::deque<std::pair<std::uint64_t, TransferOrder>> queue_;
};

}  // namespace

std::unique_ptr<TransferEngine> HttpTransport::openEngine(int /*connections*/) {
  return makeSequentialEngine(*this, 1);
}

std::unique_ptr<TransferEngine> makeSequentialEngine(HttpTransport& transport, int width) {
  return std::make_unique<SequentialEngine>(transport, width);
}

}  // namespace kv::updater
