#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/dialogs.h"
#include "platform/report.h"
#include "updater/download_file.h"
#include "updater/endpoints.h"
#include "updater/install_check.h"
#include "updater/rate_limit.h"
#include "updater/server_runtime.h"
#include "updater/site_config.h"

namespace kv::platform {
class Window;
}

namespace kv::updater {

class HttpTransport;

// Everything one update run needs. The run reads the worker's cancel flag,
// posts to reports, may show message boxes through dialogs, and reads and
// writes the server's Last-Modified texts in runtime.
struct UpdateContext {
  UpdaterWorker* worker = nullptr;
  ServerRuntime* runtime = nullptr;
  platform::ReportSink* reports = nullptr;
  platform::Dialogs* dialogs = nullptr;
  SiteConfig site;
  std::string clientBuild;  // e.g. "vdclient_gl_x64"; chosen before any worker starts
  std::string baseFolder = ".";  // the installation folder that holds the server folders
  // Asked to repaint while archives are unpacked; may be null.
  platform::Window* window = nullptr;
  // The run's HTTP client; null makes the run use its own libcurl transport
  // (trusting site.caFile), kept for the whole run.
  HttpTransport* transport = nullptr;
  // The download limit every run of the launcher shares (both servers'
  // workers); null makes the run hold its own to site.downloadLimitKBps.
  std::shared_ptr<RateLimit> rateLimit;
  // The pause before a failed download is tried again. Tests shorten it.
  std::chrono::milliseconds retryPause{kRetryPauseMs};
  // Told each failed download as it is logged; may be empty.
  DownloadFailureFn onDownloadFailure;
  // At the start of every run each file the local manifest lists is
  // checked (see isWholeFile); those found damaged are fetched again. This
  // check, when given, then looks further at each file that passed (its
  // content, say): false marks it damaged. Called on a thread of its own.
  std::function<bool(const std::string& path, const ManifestEntry& entry)> contentCheck;
  // Told how many files that check covered and which were found damaged;
  // may be empty.
  std::function<void(std::size_t checked, const std::set<std::string>& damaged)> onStartCheck;
  // While another process (or worker) updates the same server folder: true
  // waits for it to end (the status line says so), false ends the run with
  // that text as an error.
  bool waitForOtherUpdate = true;
  // Told, once a run's downloads ended, how many bytes they received from
  // the site (indexes included; bytes put together from installed files
  // not). May be empty.
  std::function<void(std::int64_t fetchedBytes)> onFetched;
  // Called at every cancellation check, just before the flag is read. Tests
  // use it to raise the flag at a chosen check; empty in the launcher.
  std::function<void()> beforeCheck;
};

// The body of a server's worker thread: one update run of the worker's
// server. Expects runtime's storedLastModified to hold the value recorded in
// the server's "manifest.meta" (see readManifestMeta). Posts the status,
// progress, ready and error reports of the run; posts nothing after the
// cancel flag was seen. Never throws.
void runUpdate(const UpdateContext& context);

}  // namespace kv::updater
