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
  SteadyTime lastReport{};           // when the last report went out
  SteadyTime phaseStart{};           // when the download phase began
  std::int64_t totalBytes = 0;       // sum of the sizes of every file to fetch
  std::int64_t heldBytes = 0;        // bytes of resumed files held before this run: done, not received
  std::string currentPath;           // manifest path of the file that received bytes last
  SteadyTime lastMoved{};            // when a transfer last received bytes
  bool statusShown = false;          // the last status this record posted may still be on show
  // The clock; tests may replace it.
  std::function<SteadyTime()> now = [] { return std::chrono::steady_clock::now(); };
};

// Told that the transfer of path received addedBytes more: updates the
// totals and, at most every half second, posts the status
// "Downloading: NAME (P%, S KB/s)" of the file that received bytes last and
// the whole run ("Downloading: waiting for the site (P%)" when nothing
// arrived for kStalledSeconds, so a stalled file is never named), and then
// the fraction of the run done (within 0..1). Posts nothing once the run is
// cancelled.
void reportDownloadProgress(DownloadProgress& progress, const std::string& path, std::int64_t addedBytes);

// Called just before the box about the failure of the file at path blocks
// the worker: when the status line shows a download status of this record
// (which names another file, or one that no longer moves), posts
// "Downloading: failed: NAME (P%)", so the line names the file the box is
// about. Posts nothing once the run is cancelled.
void reportDownloadTrouble(DownloadProgress& progress, const std::string& path);

}  // namespace kv::updater
