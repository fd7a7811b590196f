#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/file_system.h"
#include "updater/http_transport.h"

namespace kv::updater {

class RateLimit;

// What the log and the message box tell of a failed download: the log line
// (without its time stamp), the box text and the box title; and, for callers
// that show it elsewhere, the file that was being written and the system's
// words when it could not be opened.
struct DownloadFailure {
  std::string logLine;
  std::string boxText;
  std::string title;
  std::string localPath;
  std::string systemReason;  // "" unless the file could not be opened
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
  RateLimit* rateLimit = nullptr;              // shared by every transfer of the launcher; null: none
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

// The output file of one transfer (truncated; its folders created when
// missing); counts what was written. Worker thread.
class DownloadTarget {
 public:
  explicit DownloadTarget(const std::string& path);
  // The regular file at path (never a link) opened for appending: written()
  // starts at its length. Not open when there is none or it cannot be opened.
  static std::unique_ptr<DownloadTarget> continuing(const std::string& path);
  ~DownloadTarget() { (void)close(); }
  DownloadTarget(const DownloadTarget&) = delete;
  DownloadTarget& operator=(const DownloadTarget&) = delete;

  bool isOpen() const { return file_.ok(); }
  // The system's words for the failed open; empty when the file is open.
  const std::string& openReason() const { return openReason_; }
  // The system's words for the first write (or close) that failed; empty
  // while none did.
  const std::string& writeReason() const { return writeReason_; }
  // False when the bytes could not all be written.
  bool write(const char* data, std::size_t size);
  // Flushes and closes; false when any write or the flush failed.
  bool close();
  // Cuts the file to nothing and writes on from its start; false when it
  // cannot be opened again (the target is then closed and failed).
  bool restart();
  std::int64_t written() const { return written_; }

 private:
  struct Continuing {};
  DownloadTarget(const std::string& path, Continuing);

  // Opens path in mode, creating its folders when they are missing.
  void open(platform::WriteMode mode);
  // Hands the buffered bytes to the file; false when they could not all go.
  bool drain();
  // Marks the target failed, keeping the system's words for the first
  // failure.
  void fail();

  std::string path_;
  platform::File file_;
  std::vector<char> buffer_;  // what write took and the file has not yet had
  std::int64_t written_ = 0;
  bool failed_ = false;
  std::string openReason_;
  std::string writeReason_;
};

// The failure of a download whose output file target (at localPath) cannot
// be opened.
DownloadFailure cannotOpenFailure(const std::string& localPath, const DownloadTarget& target);

// Judges a finished transfer into target (closed tells whether closing it
// succeeded) by the rules of downloadFile: nothing when the file is whole,
// else what to log and show (an aborted transfer gets an empty failure,
// which is never shown). A transfer whose bytes could not be written says
// why in the log line and the box ("No space left on device").
std::optional<DownloadFailure> judgeDownload(const TransferResult& result, bool closed, const DownloadTarget& target,
                                             std::optional<std::int64_t> expectedSize);

// Logs failure of the download into localPath, tells environment.onFailure,
// and shows it in an error box owned by the main window, which blocks this
// thread until it is closed.
void reportDownloadFailure(const DownloadEnvironment& environment, const std::string& localPath,
                           DownloadFailure failure);

}  // namespace kv::updater
