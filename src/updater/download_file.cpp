#include "updater/download_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "updater/download_log.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

// Logs message and shows text in an error box titled title.
void reportFailure(const DownloadEnvironment& environment, const std::string& localPath, const std::string& message,
                   std::string_view text, std::string_view title, const std::string& systemReason = {}) {
  writeDownloadLog(environment.logPath, message);
  if (environment.onFailure) environment.onFailure({localPath, message, systemReason});
  if (environment.dialogs != nullptr) {
    (void)environment.dialogs->messageBox(platform::MessageOwner::MainWindow, std::string(text),
                                          std::string(title), platform::MessageButtons::Ok,
                                          platform::MessageIcon::Error);
  }
}

void reportTransportError(const DownloadEnvironment& environment, const std::string& localPath,
                          std::string_view reason) {
  reportFailure(environment, localPath, std::string(kLogPerformErrorPrefix) + std::string(reason), reason,
                kTitleCurlError);
}

// The output file of one transfer; counts what was written.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : file_(std::fopen(path.c_str(), "wbe")) {
    if (file_ == nullptr) openError_ = errno;
    if (file_ != nullptr) std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
  }
  ~OutputFile() { (void)close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool isOpen() const { return file_ != nullptr; }
  int openError() const { return openError_; }
  bool write(const char* data, std::size_t size) {
    if (file_ == nullptr) return false;
    if (std::fwrite(data, 1, size, file_) != size) {
      failed_ = true;
      return false;
    }
    written_ += static_cast<std::int64_t>(size);
    return true;
  }
  // Flushes and closes; false when any write or the flush failed.
  bool close() {
    if (file_ == nullptr) return !failed_;
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
  }
  std::int64_t written() const { return written_; }

 private:
  std::FILE* file_ = nullptr;
  std::int64_t written_ = 0;
  bool failed_ = false;
  int openError_ = 0;
};

}  // namespace

void createFoldersOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  std::error_code error;
  std::filesystem::create_directories(path.substr(0, slash), error);
}

bool downloadFile(const DownloadEnvironment& environment, const std::string& url,
                  const std::string& localPath, std::optional<std::int64_t> expectedSize,
                  const DownloadProgressFn& progress) {
  if (environment.transport == nullptr) {
    reportFailure(environment, localPath, std::string(kLogInitFailed), kBoxInitFailed, kTitleError);
    return false;
  }
  auto output = std::make_unique<OutputFile>(localPath);
  if (!output->isOpen()) {
    createFoldersOf(localPath);
    output = std::make_unique<OutputFile>(localPath);
  }
  if (!output->isOpen()) {
    reportFailure(environment, localPath, std::string(kLogCannotOpenPrefix) + localPath, kBoxCannotOpen, kTitleError,
                  std::strerror(output->openError()));
    return false;
  }

  const std::atomic<bool>* cancel = environment.cancel;
  const ByteSink sink = [&output](const char* data, std::size_t size) { return output->write(data, size); };
  TransferProgress adapter = [&progress, cancel](std::int64_t received) {
    if (progress) progress(received);
    return cancel == nullptr || !cancel->load();
  };
  const std::int64_t limit = expectedSize ? *expectedSize : kMaxManifestFileSize;
  const TransferResult result = environment.transport->download(url, sink, adapter, limit);
  const bool closed = output->close();
  const std::int64_t written = output->written();

  switch (result.outcome) {
    case TransferOutcome::InitFailed:
      reportFailure(environment, localPath, std::string(kLogInitFailed), kBoxInitFailed, kTitleError);
      return false;
    case TransferOutcome::Aborted:
      return false;  // the run was cancelled: nothing to tell
    case TransferOutcome::Failed:
      if (cancel != nullptr && cancel->load()) return false;
      reportTransportError(environment, localPath, result.errorText);
      return false;
    case TransferOutcome::Completed:
      break;
  }
  if (result.status != 200) {
    const std::string code = std::to_string(result.status);
    reportFailure(environment, localPath, std::string(kLogHttpStatusPrefix) + code,
                  std::string(kBoxHttpStatusPrefix) + code, kTitleHttpError);
    return false;
  }
  if (!closed) {
    reportTransportError(environment, localPath, kReasonWriteFailed);
    return false;
  }
  if (expectedSize && written != *expectedSize) {
    reportTransportError(environment, localPath, kReasonPartialFile);
    return false;
  }
  return true;
}

}  // namespace kv::updater
