#include "updater/stream_hash.h"

#include <utility>

#include "platform/sha256.h"

namespace kv::updater {
namespace {

// Bytes handed to the thread at a time, and the most that may wait for it:
// a transfer that outruns the hashing waits for it.
constexpr std::size_t kPieceBytes = 256 * 1024;
constexpr std::size_t kMaxQueuedBytes = 8 * 1024 * 1024;

}  // namespace

struct HashPipe::State {
  platform::Sha256 digest;
  std::size_t queued = 0;  // pieces posted and not yet hashed
};

HashPipe::~HashPipe() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<HashPipe::Stream> HashPipe::open() {
  return std::make_unique<Stream>(*this, std::make_shared<State>());
}

void HashPipe::post(const std::shared_ptr<State>& state, std::vector<char> bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable() && !inline_) {
    try {
      thread_ = std::thread([this] { serve(); });
    } catch (...) {
      inline_ = true;
    }
  }
  if (inline_) {
    lock.unlock();
    state->digest.add(bytes.data(), bytes.size());
    return;
  }
  hashed_.wait(lock, [this] { return queuedBytes_ < kMaxQueuedBytes; });
  queuedBytes_ += bytes.size();
  ++state->queued;
  queue_.push_back({state, std::move(bytes)});
  wake_.notify_one();
}

void HashPipe::waitFor(const std::shared_ptr<State>& state) {
  std::unique_lock<std::mutex> lock(mutex_);
  hashed_.wait(lock, [&] { return state->queued == 0; });
}

void HashPipe::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Piece piece = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    piece.state->digest.add(piece.bytes.data(), piece.bytes.size());
    lock.lock();
    queuedBytes_ -= piece.bytes.size();
    --piece.state->queued;
    hashed_.notify_all();
  }
}

HashPipe::Stream::Stream(HashPipe& pipe, std::shared_ptr<State> state) : pipe_(pipe), state_(std::move(state)) {
  pending_.reserve(kPieceBytes);
}

HashPipe::Stream::~Stream() = default;

void HashPipe::Stream::add(const char* data, std::size_t size) {
  pending_.insert(pending_.end(), data, data + size);
  if (pending_.size() < kPieceBytes) return;
  std::vector<char> piece;
  piece.reserve(kPieceBytes);
  piece.swap(pending_);
  pipe_.post(state_, std::move(piece));
}

std::string HashPipe::Stream::finishHex() {
  if (!pending_.empty()) pipe_.post(state_, std::move(pending_));
  pending_.clear();
  pipe_.waitFor(state_);
  return state_->digest.finishHex();
}

}  // namespace kv::updater
