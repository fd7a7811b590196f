#pragma once

#include <chrono>
#include <functional>

#include "platform/report.h"
#include "updater/update_run.h"

namespace kv::app {

// The pauses between the tries of a site that could not be asked: the
// first, doubled after each failed try, never longer than longest.
struct SiteRetryPauses {
  std::chrono::milliseconds first{15000};
  std::chrono::milliseconds longest{300000};
};

// The pause after failedTries failed tries (1: the first pause).
[[nodiscard]] std::chrono::milliseconds siteRetryPause(int failedTries, const SiteRetryPauses& pauses);

// Whether the error that ended a run says the site could not be asked (its
// Last-Modified stamp or its manifest did not come), so that a later try
// may get through.
[[nodiscard]] bool isSiteUnreachable(const platform::Report& error);

// Sleeps for pause unless the worker is cancelled first.
using RetryWait = std::function<void(std::chrono::milliseconds pause, const updater::UpdaterWorker& worker)>;

// The body of a server's worker in the launcher: one update run, and while
// a run ends because the site could not be asked, another one after a
// growing pause, until one gets through or the worker is cancelled. The
// run's own error stays on the window meanwhile. Each failed try is logged
// with the host and the reason. wait is the pause (tests hand in their
// own; empty: a sleep that a cancel ends early).
void runUntilSiteAnswers(const updater::UpdateContext& context, const SiteRetryPauses& pauses = {},
                         const RetryWait& wait = {});

}  // namespace kv::app
