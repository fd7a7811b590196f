#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/report.h"

namespace kv::updater {

using SteadyTime = std::chrono::steady_clock::time_point;

// The running totals of one update run's download phase, shared by all its
// transfers. Lives on the worker's thread only.
struct DownloadProgress {
  const std::atomic<bool>* cancel = nullptr;  // the worker's cancel flag
  platform::ReportSink* reports = nullptr;    // where status and progress go
  int server = 0;                             // the server the reports are about
  std::int64_t runBytes = 0;         // bytes received in this run, all files and attempts
  std::int64_t attemptBase = 0;      // runBytes when the current attempt began
  std::int64_t checkpointBytes = 0;  // decides when the local manifest is saved
  SteadyTime lastReport{};           // when the last report went out
  SteadyTime phaseStart{};           // when the download phase began
  std::int64_t totalBytes = 0;       // sum of the sizes of every file to fetch
  std::string currentPath;           // manifest path of the file being fetched
  // The clock; tests may replace it.
  std::function<SteadyTime()> now = [] { return std::chrono::steady_clock::now(); };
};

// The progress callable of a transfer: received is the byte count of the
// current transfer so far. Updates the totals and, at most every half
// second, posts the status "Downloading: NAME (P%, S KB/s)" and then the
// fraction done (within 0..1). Posts nothing once the run is cancelled.
void reportDownloadProgress(DownloadProgress& progress, std::int64_t received);

}  // namespace kv::updater
