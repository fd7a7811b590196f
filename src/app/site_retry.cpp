#include "app/site_retry.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <thread>

#include "base/launcher_files.h"
#include "base/path_text.h"
#include "updater/download_log.h"
#include "updater/endpoints.h"

namespace kv::app {
namespace {

// Passes every report on and keeps the last that ended the run.
class EndWatchingSink : public platform::ReportSink {
 public:
  explicit EndWatchingSink(platform::ReportSink& next) : next_(next) {}

  bool post(platform::Report report) override {
    if (report.kind == platform::ReportKind::Error || report.kind == platform::ReportKind::Ready) {
      const std::lock_guard<std::mutex> lock(mutex_);
      end_ = report;
    }
    return next_.post(std::move(report));
  }

  std::optional<platform::Report> end() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return end_;
  }

 private:
  platform::ReportSink& next_;
  mutable std::mutex mutex_;  // guards end_
  std::optional<platform::Report> end_;
};

void sleepUnlessCancelled(std::chrono::milliseconds pause, const updater::UpdaterWorker& worker) {
  const auto until = std::chrono::steady_clock::now() + pause;
  while (!worker.cancel.load() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(100), until - std::chrono::steady_clock::now()));
  }
}

std::string pauseText(std::chrono::milliseconds pause) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(pause).count();
  if (seconds >= 60 && seconds % 60 == 0) return std::to_string(seconds / 60) + " min";
  return std::to_string(seconds) + " s";
}

}  // namespace

std::chrono::milliseconds siteRetryPause(int failedTries, const SiteRetryPauses& pauses) {
  std::chrono::milliseconds pause = pauses.first;
  for (int i = 1; i < failedTries && pause < pauses.longest; ++i) pause *= 2;
  return std::min(pause, pauses.longest);
}

bool isSiteUnreachable(const platform::Report& error) {
  return error.kind == platform::ReportKind::Error &&
         (error.text == updater::kTextUpdaterPreparing || error.text == updater::kTextManifestFailed);
}

void runUntilSiteAnswers(const updater::UpdateContext& context, const SiteRetryPauses& pauses,
                         const RetryWait& wait) {
  if (context.worker == nullptr || context.reports == nullptr) return;
  const updater::UpdaterWorker& worker = *context.worker;
  const std::string logPath = joinPath(context.baseFolder, kDownloadLogName);
  for (int failedTries = 1;; ++failedTries) {
    EndWatchingSink sink(*context.reports);
    updater::UpdateContext run = context;
    run.reports = &sink;
    updater::runUpdate(run);
    const std::optional<platform::Report> end = sink.end();
    if (worker.cancel.load() || !end || !isSiteUnreachable(*end)) return;
    const std::chrono::milliseconds pause = siteRetryPause(failedTries, pauses);
    updater::writeDownloadLog(logPath, "Site " + context.site.siteHost + " not reached (" +
                                           (end->reason.empty() ? end->text : end->reason) + "), next try in " +
                                           pauseText(pause));
    if (wait) {
      wait(pause, worker);
    } else {
      sleepUnlessCancelled(pause, worker);
    }
    if (worker.cancel.load()) return;
  }
}

}  // namespace kv::app
