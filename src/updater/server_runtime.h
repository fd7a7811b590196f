#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kv::updater {

// The record of one server's updater worker. Shared between the main thread
// and the worker thread (std::shared_ptr), so it stays valid for as long as
// the thread can read it, also after shutdown stopped tracking it.
struct UpdaterWorker {
  explicit UpdaterWorker(int serverIndex) : server(serverIndex) {}
  UpdaterWorker(const UpdaterWorker&) = delete;
  UpdaterWorker& operator=(const UpdaterWorker&) = delete;
  // A record dropped while its thread is still known lets the thread go.
  ~UpdaterWorker() {
    if (thread.joinable()) thread.detach();
  }
  const int server;                  // the server this worker updates; fixed
  std::atomic<bool> cancel{false};   // set by the main thread to stop the run
  std::atomic<bool> running{false};  // the thread is inside its body
  std::thread thread;                // touched by the main thread only
};

// Per-server runtime values shared with the worker thread.
class ServerRuntime {
 public:
  std::shared_ptr<UpdaterWorker> worker;  // main thread only

  // The Last-Modified texts of the server's manifest: the one recorded in
  // "manifest.meta" and the one fetched at the start of the current run.
  // Guarded by lastModifiedMutex_, read and written by the main thread and
  // the server's worker.
  std::string storedLastModified() const;
  void setStoredLastModified(const std::string& value);
  std::string remoteLastModified() const;
  void setRemoteLastModified(const std::string& value);

 private:
  mutable std::mutex lastModifiedMutex_;
  std::string storedLastModified_;  // guarded by lastModifiedMutex_
  std::string remoteLastModified_;  // guarded by lastModifiedMutex_
};

// Starts the worker's thread running body, unless it is already running.
// Clears the cancel flag first; the thread checks it once more before body.
// Main thread only.
void startUpdaterWorker(const std::shared_ptr<UpdaterWorker>& worker,
                        std::function<void(UpdaterWorker&)> body);

// Sets the cancel flag and lets the thread run out on its own. Main thread.
void cancelAndDetach(UpdaterWorker& worker);

}  // namespace kv::updater
