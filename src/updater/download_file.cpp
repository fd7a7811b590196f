#include "updater/download_file.h"

#include "base/path_text.h"
#include "platform/file_system.h"
#include "updater/download_log.h"
#include "updater/endpoints.h"

namespace kv::updater {

void reportDownloadFailure(const DownloadEnvironment& environment, const std::string& localPath,
                           DownloadFailure failure) {
  writeDownloadLog(environment.logPath, failure.logLine);
  failure.localPath = localPath;
  if (environment.onFailure) environment.onFailure(failure);
  if (environment.dialogs != nullptr) {
    (void)environment.dialogs->messageBox(platform::MessageOwner::MainWindow, failure.boxText, failure.title,
                                          platform::MessageButtons::Ok, platform::MessageIcon::Error);
  }
}

namespace {

// Bytes gathered before they are handed to the file: few system calls for a
// stream of small pieces.
constexpr std::size_t kWriteBufferBytes = std::size_t{1} << 16;

}  // namespace

DownloadTarget::DownloadTarget(const std::string& path) : path_(path) { open(platform::WriteMode::Truncate); }

DownloadTarget::DownloadTarget(const std::string& path, Continuing) : path_(path) {
  file_ = platform::openForWriting(path, platform::WriteMode::Append);
  const std::optional<std::uint64_t> size = file_.ok() ? file_.regularFileSize() : std::nullopt;
  if (!size || *size > static_cast<std::uint64_t>(kMaxManifestFileSize)) {
    openReason_ = file_.ok() ? std::string() : platform::lastErrorText();
    file_ = platform::File();
    return;
  }
  written_ = static_cast<std::int64_t>(*size);
}

std::unique_ptr<DownloadTarget> DownloadTarget::continuing(const std::string& path) {
  return std::unique_ptr<DownloadTarget>(new DownloadTarget(path, Continuing{}));
}

void DownloadTarget::open(platform::WriteMode mode) {
  file_ = platform::openForWriting(path_, mode);
  if (!file_.ok() && platform::makeFolders(folderOf(path_))) file_ = platform::openForWriting(path_, mode);
  openReason_ = file_.ok() ? std::string() : platform::lastErrorText();
  if (file_.ok()) buffer_.reserve(kWriteBufferBytes);
}

bool DownloadTarget::restart() {
  buffer_.clear();
  if (file_.ok()) (void)file_.close();
  written_ = 0;
  writeReason_.clear();
  open(platform::WriteMode::Truncate);
  failed_ = !file_.ok();
  return file_.ok();
}

void DownloadTarget::fail() {
  if (!failed_) writeReason_ = platform::lastErrorText();
  failed_ = true;
}

bool DownloadTarget::drain() {
  if (buffer_.empty()) return true;
  const bool whole = file_.write(buffer_.data(), buffer_.size());
  buffer_.clear();
  if (!whole) fail();
  return whole;
}

bool DownloadTarget::write(const char* data, std::size_t size) {
  if (!file_.ok() || failed_) return false;
  if (buffer_.size() + size > kWriteBufferBytes && !drain()) return false;
  if (size >= kWriteBufferBytes) {
    if (!file_.write(data, size)) {
      fail();
      return false;
    }
  } else {
    buffer_.insert(buffer_.end(), data, data + size);
  }
  written_ += static_cast<std::int64_t>(size);
  return true;
}

bool DownloadTarget::close() {
  if (!file_.ok()) return !failed_;
  (void)drain();
  if (!file_.close()) fail();
  file_ = platform::File();
  return !failed_;
}

DownloadFailure cannotOpenFailure(const std::string& localPath, const DownloadTarget& target) {
  return {std::string(kLogCannotOpenPrefix) + localPath, std::string(kBoxCannotOpen), std::string(kTitleError),
          localPath, target.openReason()};
}

std::optional<DownloadFailure> judgeDownload(const TransferResult& result, bool closed, const DownloadTarget& target,
                                             std::optional<std::int64_t> expectedSize) {
  const std::int64_t written = target.written();
  const auto transportError = [&target](std::string_view reason) {
    std::string text(reason);
    if (!target.writeReason().empty()) text += " (" + target.writeReason() + ")";
    return DownloadFailure{std::string(kLogPerformErrorPrefix) + text, text, std::string(kTitleCurlError)};
  };
  switch (result.outcome) {
    case TransferOutcome::InitFailed:
      return DownloadFailure{std::string(kLogInitFailed), std::string(kBoxInitFailed), std::string(kTitleError)};
    case TransferOutcome::Aborted:
      return DownloadFailure{};  // the run was cancelled: nothing to tell
    case TransferOutcome::Failed:
      return transportError(result.errorText);
    case TransferOutcome::Completed:
      break;
  }
  if (result.status != 200) {
    const std::string code = std::to_string(result.status);
    return DownloadFailure{std::string(kLogHttpStatusPrefix) + code, std::string(kBoxHttpStatusPrefix) + code,
                           std::string(kTitleHttpError)};
  }
  if (!closed) return transportError(kReasonWriteFailed);
  if (expectedSize && written != *expectedSize) return transportError(kReasonPartialFile);
  return std::nullopt;
}

bool downloadFile(const DownloadEnvironment& environment, const std::string& url,
                  const std::string& localPath, std::optional<std::int64_t> expectedSize,
                  const DownloadProgressFn& progress) {
  if (environment.transport == nullptr) {
    reportDownloadFailure(environment, localPath,
                          {std::string(kLogInitFailed), std::string(kBoxInitFailed), std::string(kTitleError)});
    return false;
  }
  DownloadTarget output(localPath);
  if (!output.isOpen()) {
    reportDownloadFailure(environment, localPath, cannotOpenFailure(localPath, output));
    return false;
  }

  const std::atomic<bool>* cancel = environment.cancel;
  const ByteSink sink = [&output](const char* data, std::size_t size) { return output.write(data, size); };
  TransferProgress adapter = [&progress, cancel](std::int64_t received) {
    if (progress) progress(received);
    return cancel == nullptr || !cancel->load();
  };
  const std::int64_t limit = expectedSize ? *expectedSize : kMaxManifestFileSize;
  const TransferResult result = environment.transport->download(url, sink, adapter, limit, {});
  const bool closed = output.close();
  const std::optional<DownloadFailure> failure = judgeDownload(result, closed, output, expectedSize);
  if (!failure) return true;
  // A transfer stopped because the run was cancelled answers quietly.
  if (result.outcome == TransferOutcome::Aborted) return false;
  if (result.outcome == TransferOutcome::Failed && cancel != nullptr && cancel->load()) return false;
  reportDownloadFailure(environment, localPath, *failure);
  return false;
}

}  // namespace kv::updater
