#include "updater/transfer_engine.h"

#include <deque>
#include <utility>

#include "updater/rate_limit.h"

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

  // The one transfer running waits for its share inside its sink: nothing
  // else runs on the thread meanwhile.
  void shareLimit(RateLimit* limit, const std::atomic<bool>* cancel) override {
    limit_ = limit;
    cancel_ = cancel;
  }

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
    std::pair<std::uint64_t, TransferOrder> next = std::move(queue_.front());
    queue_.pop_front();
    TransferOrder& order = next.second;
    FinishedTransfer done;
    done.id = next.first;
    ByteSink sink = order.sink;
    if (limit_ != nullptr && limit_->active()) {
      sink = [this, &order](const char* data, std::size_t size) {
        limit_->takeAndWait(size, [this] { return cancel_ != nullptr && cancel_->load(); });
        return order.sink(data, size);
      };
    }
    done.result = transport_.download(order.url, sink, order.progress, order.maxBytes, order.range);
    finished.push_back(std::move(done));
  }

 private:
  HttpTransport& transport_;
  int width_;
  RateLimit* limit_ = nullptr;
  const std::atomic<bool>* cancel_ = nullptr;
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
