#pragma once

#include <memory>
#include <string>

#include "platform/dialogs.h"
#include "platform/report.h"
#include "updater/server_runtime.h"
#include "updater/site_config.h"

namespace kv::updater {

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
};

// The body of a server's worker thread: one update run. Never throws.
void runUpdate(const UpdateContext& context);

}  // namespace kv::updater
