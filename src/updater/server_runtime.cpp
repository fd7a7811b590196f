#include "updater/server_runtime.h"

namespace kv::updater {

std::string ServerRuntime::storedLastModified() const {
  std::lock_guard<std::mutex> lock(lastModifiedMutex_);
  return storedLastModified_;
}

void ServerRuntime::setStoredLastModified(const std::string& value) {
  std::lock_guard<std::mutex> lock(lastModifiedMutex_);
  storedLastModified_ = value;
}

std::string ServerRuntime::remoteLastModified() const {
  std::lock_guard<std::mutex> lock(lastModifiedMutex_);
  return remoteLastModified_;
}

void ServerRuntime::setRemoteLastModified(const std::string& value) {
  std::lock_guard<std::mutex> lock(lastModifiedMutex_);
  remoteLastModified_ = value;
}

void startUpdaterWorker(const std::shared_ptr<UpdaterWorker>& worker,
                        std::function<void(UpdaterWorker&)> body) {
  if (!worker || worker->running.load()) return;
  if (worker->thread.joinable()) worker->thread.join();  // a finished earlier run
  worker->cancel.exchange(false);
  worker->running.store(true);
  // The thread holds its own reference: the record outlives any tracking.
  worker->thread = std::thread([worker, body = std::move(body)]() {
    if (!worker->cancel.load()) body(*worker);
    worker->running.store(false);
  });
}

void cancelAndDetach(UpdaterWorker& worker) {
  worker.cancel.exchange(true);
  if (worker.thread.joinable()) worker.thread.detach();
}

}  // namespace kv::updater
