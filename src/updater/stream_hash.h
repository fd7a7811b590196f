#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv::updater {

// Hashes the bytes of downloads (SHA-256) on a thread of its own, so that
// the thread that receives them only copies them: a whole answer is hashed
// as it streams in, at the pace of the transfers, and its digest is ready
// moments after its last byte. Where no thread can be started, the bytes are
// hashed as they are added. Streams of one pipe are used by one thread.
class HashPipe {
 public:
  class Stream;

  HashPipe() = default;
  ~HashPipe();
  HashPipe(const HashPipe&) = delete;
  HashPipe& operator=(const HashPipe&) = delete;

  std::unique_ptr<Stream> open();

 private:
  struct State;
  struct Piece {
    std::shared_ptr<State> state;
    std::vector<char> bytes;
  };

  void post(const std::shared_ptr<State>& state, std::vector<char> bytes);
  void waitFor(const std::shared_ptr<State>& state);
  void serve();

  std::mutex mutex_;
  std::condition_variable wake_;     // a piece was posted, or the end
  std::condition_variable hashed_;   // a piece was hashed
  std::deque<Piece> queue_;
  std::size_t queuedBytes_ = 0;
  std::thread thread_;
  bool stopping_ = false;
  bool inline_ = false;
};

// The digest of one answer's bytes.
class HashPipe::Stream {
 public:
  Stream(HashPipe& pipe, std::shared_ptr<State> state);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  void add(const char* data, std::size_t size);
  // The digest as 64 lower-case hex digits (empty when the system could not
  // compute it); the stream is spent afterwards.
  std::string finishHex();

 private:
  HashPipe& pipe_;
  std::shared_ptr<State> state_;
  std::vector<char> pending_;  // bytes not yet handed to the pipe
};

}  // namespace kv::updater
