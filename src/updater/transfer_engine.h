#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "updater/http_transport.h"

namespace kv::updater {

class RateLimit;

// One download handed to a TransferEngine. The callables stay with the
// transfer until it finished or was stopped, and are called on the thread
// that calls TransferEngine::wait.
struct TransferOrder {
  std::string url;
  // The most a status-200 body may hold, as for HttpTransport::download.
  std::int64_t maxBytes = 0;
  ByteSink sink;
  // Hears the running byte count of this transfer; false aborts it.
  TransferProgress progress;
  // The part of the file asked for (maxBytes is then the file's size).
  DownloadRange range;
};

// A transfer that ended, with how it ended.
struct FinishedTransfer {
  std::uint64_t id = 0;
  TransferResult result;
};

// Runs many downloads of one update run at once. Each transfer keeps the
// rules of HttpTransport::download (agent, TLS, redirects, body limits,
// time-outs). Only the worker's thread may use an engine.
class TransferEngine {
 public:
  virtual ~TransferEngine() = default;

  // How many transfers the caller should keep in flight now. Grows when the
  // site turns out to multiplex, shrinks with narrow.
  virtual int width() const = 0;

  // Fewer transfers and connections for the rest of the run (about half).
  // False when the engine already runs one transfer on one connection.
  virtual bool narrow() = 0;

  // Starts a transfer under the caller's id (unique among those in flight).
  virtual void start(std::uint64_t id, TransferOrder order) = 0;

  // Holds every transfer of the engine, together with every other that
  // shares limit, to its rate; limit (null: none) must outlive the engine.
  // The engine never sleeps while a transfer waits for its share unless it
  // runs only one transfer at a time; cancel, when given, ends such a wait.
  virtual void shareLimit(RateLimit* limit, const std::atomic<bool>* cancel) = 0;

  // Ends a transfer in flight at once; it reports nothing.
  virtual void stop(std::uint64_t id) = 0;

  // Moves the transfers on until at least one ended or timeout passed, and
  // appends those that ended to finished.
  virtual void wait(std::chrono::milliseconds timeout, std::vector<FinishedTransfer>& finished) = 0;
};

// An engine that runs one transfer at a time through transport.download, in
// the order they were started, while it admits width of them at once (the
// others wait their turn; narrow halves width): the engine of transports
// without a parallel one, the fake transport of tests among them.
std::unique_ptr<TransferEngine> makeSequentialEngine(HttpTransport& transport, int width);

}  // namespace kv::updater
