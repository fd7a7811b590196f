#include "updater/download_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/file_system.h"
#include "updater/download_log.h"
#include "updater/endpoints.h"

namespace kv::updater {

void createFoldersOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  std::error_code error;
  std::filesystem::create_directories(path.substr(0, slash), error);
}

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

DownloadTarget::DownloadTarget(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wbe")) {
  if (file_ == nullptr) {
    createFoldersOf(path);
    file_ = std::fopen(path.c_str(), "wbe");
  }
  if (file_ == nullptr) openError_ = errno;
  if (file_ != nullptr) std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
}

DownloadTarget::DownloadTarget(const std::string& path, Continuing) : path_(path) {
  const std::optional<std::uint64_t> size = platform::regularFileSizeAt(path);
  if (platform::pathKind(path) != platform::PathKind::File || !size ||
      *size > static_cast<std::uint64_t>(kMaxManifestFileSize)) {
    openError_ = ENOENT;
    return;
  }
  file_ = std::fopen(path.c_str(), "abe");
  if (file_ == nullptr) {
    openError_ = errno;
    return;
  }
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
  written_ = static_cast<std::int64_t>(*size);
}

std::unique_ptr<DownloadTarget> DownloadTarget::continuing(const std::string& path) {
  return std::unique_ptr<DownloadTarget>(new DownloadTarget(path, Continuing{}));
}

bool DownloadTarget::restart() {
  if (file_ != nullptr) (void)std::fclose(file_);
  file_ = std::fopen(path_.c_str(), "wbe");
  written_ = 0;
  failed_ = file_ == nullptr;
  if (file_ == nullptr) {
    openError_ = errno;
    return false;
  }
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
  return true;
}

bool DownloadTarget::write(const char* data, std::size_t size) {
  if (file_ == nullptr) return false;
  if (std::fwrite(data, 1, size, file_) != size) {
    failed_ = true;
    return false;
  }
  written_ += static_cast<std::int64_t>(size);
  return true;
}

bool DownloadTarget::close() {
  if (file_ == nullptr) return !failed_;
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

DownloadFailure cannotOpenFailure(const std::string& localPath, const DownloadTarget& target) {
  return {std::string(kLogCannotOpenPrefix) + localPath, std::string(kBoxCannotOpen), std::string(kTitleError),
          localPath, target.openError() != 0 ? std::strerror(target.openError()) : std::string()};
}

std::optional<DownloadFailure> judgeDownload(const TransferResult& result, bool closed, std::int64_t written,
                                             std::optional<std::int64_t> expectedSize) {
  const auto transportError = [](std::string_view reason) {
    return DownloadFailure{std::string(kLogPerformErrorPrefix) + std::string(reason), std::string(reason),
                           std::string(kTitleCurlError)};
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
  const std::optional<DownloadFailure> failure = judgeDownload(result, closed, output.written(), expectedSize);
  if (!failure) return true;
  // A transfer stopped because the run was cancelled answers quietly.
  if (result.outcome == TransferOutcome::Aborted) return false;
  if (result.outcome == TransferOutcome::Failed && cancel != nullptr && cancel->load()) return false;
  reportDownloadFailure(environment, localPath, *failure);
  return false;
}

}  // namespace kv::updater
