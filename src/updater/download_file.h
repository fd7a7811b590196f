#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/dialogs.h"
#include "updater/http_transport.h"

namespace kv::updater {

// A failed download as the log records it, for callers that also show it.
struct DownloadFailure {
  std::string localPath;     // the file that was being written
  std::string logMessage;    // the log line without its time stamp
  std::string systemReason;  // the system's words when the file could not be opened, else ""
};
using DownloadFailureFn = std::function<void(const DownloadFailure&)>;

// What downloadFile needs besides the request: the run's transport, where to
// show failures, the log, and the run's cancel flag.
struct DownloadEnvironment {
  HttpTransport* transport = nullptr;
  platform::Dialogs* dialogs = nullptr;       // null: failures are only logged
  std::string logPath;                        // the "curl_download.log" to append to
  const std::atomic<bool>* cancel = nullptr;  // set: the transfer stops early
  DownloadFailureFn onFailure;                // told each logged failure before its box; may be empty
};

// Told the bytes received so far in the current transfer.
using DownloadProgressFn = std::function<void(std::int64_t received)>;

// Streams url (used as given: build it with fileUrl, which percent-encodes
// the path) into the file at localPath (truncated; its folders created
// when missing). True only when the transfer completed with status 200 and,
// when expectedSize is given, exactly that many bytes arrived. Every body is
// bounded: a status-200 body is cut off as soon as it exceeds expectedSize
// (kMaxManifestFileSize when not given), an error page after
// kErrorPageLimit bytes. Every failure is logged and shown in a
// message box owned by the main window (which blocks this thread until it is
// closed), except a transfer stopped because the run was cancelled: that one
// answers false quietly. What was written stays in the file. Worker thread.
[[nodiscard]] bool downloadFile(const DownloadEnvironment& environment, const std::string& url,
                                const std::string& localPath, std::optional<std::int64_t> expectedSize,
                                const DownloadProgressFn& progress);

// Creates every missing folder of the folder part of path (the part before
// its last "/"); errors are ignored.
void createFoldersOf(const std::string& path);

}  // namespace kv::updater
