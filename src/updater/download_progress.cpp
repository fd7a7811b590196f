#include "updater/download_progress.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "updater/endpoints.h"
#include "updater/report_texts.h"

namespace kv::updater {
namespace {

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  if (b > 0 && a > kMax - b) return kMax;
  return a + b;
}

void post(DownloadProgress& progress, platform::Report report) {
  if (progress.reports == nullptr) return;
  report.server = progress.server;
  (void)progress.reports->post(std::move(report));
}

// The fraction of the run done (within 0..1) and its whole percent.
std::pair<float, int> runDone(const DownloadProgress& progress) {
  float fraction = 1.0f;
  if (progress.totalBytes > 0) {
    const std::int64_t done = saturatingAdd(progress.runBytes, std::max<std::int64_t>(progress.heldBytes, 0));
    fraction = static_cast<float>(done) / static_cast<float>(progress.totalBytes);
    // Bytes of failed attempts count again, so the run may exceed its total.
    fraction = std::clamp(fraction, 0.0f, 1.0f);
  }
  return {fraction, static_cast<int>(fraction * 100.0f)};
}

void postStatus(DownloadProgress& progress, std::string text) {
  platform::Report status;
  status.kind = platform::ReportKind::Status;
  status.text = std::move(text);
  post(progress, std::move(status));
}

}  // namespace

void reportDownloadProgress(DownloadProgress& progress, const std::string& path, std::int64_t addedBytes) {
  if (progress.cancel != nullptr && progress.cancel->load()) return;
  progress.runBytes = saturatingAdd(progress.runBytes, std::max<std::int64_t>(addedBytes, 0));
  const SteadyTime now = progress.now();
  // Only a transfer that receives bytes becomes the one the status names.
  if (addedBytes > 0) {
    if (progress.currentPath != path) progress.currentPath = path;
    progress.lastMoved = now;
  }

  const std::chrono::duration<double> sinceReport = now - progress.lastReport;
  if (sinceReport.count() < kProgressIntervalSeconds) return;

  const std::chrono::duration<double> elapsed = now - progress.phaseStart;
  const double speed =
      elapsed.count() > 0 ? static_cast<double>(progress.runBytes) / 1024.0 / elapsed.count() : 0.0;
  const auto [fraction, percent] = runDone(progress);

  const std::chrono::duration<double> sinceMoved = now - progress.lastMoved;
  const bool moving = !progress.currentPath.empty() && sinceMoved.count() < kStalledSeconds;
  postStatus(progress, moving ? downloadingText(fileNamePart(progress.currentPath), percent, speed)
                              : waitingForDataText(percent));
  progress.statusShown = true;

  platform::Report bar;
  bar.kind = platform::ReportKind::Progress;
  bar.progress = fraction;
  post(progress, std::move(bar));

  progress.lastReport = now;
}

void reportDownloadTrouble(DownloadProgress& progress, const std::string& path) {
  if (progress.cancel != nullptr && progress.cancel->load()) return;
  if (progress.statusShown) {
    postStatus(progress, downloadFailedText(fileNamePart(path), runDone(progress).second));
    progress.statusShown = false;
  }
  // The file is no longer moving; the next status names the next one that does.
  if (progress.currentPath == path) progress.currentPath.clear();
}

}  // namespace kv::updater
