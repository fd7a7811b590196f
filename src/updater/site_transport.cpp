#include "updater/site_transport.h"

#include <utility>

#include "updater/download_log.h"
#include "updater/transfer_engine.h"

namespace kv::updater {
namespace {

class CombinedTransport final : public HttpTransport {
 public:
  CombinedTransport(std::unique_ptr<platform::WebRequests> small, std::unique_ptr<HttpTransport> downloads)
      : small_(std::move(small)), downloads_(std::move(downloads)) {}

  bool getText(const std::string& url, std::size_t maxBytes, std::string& body) override {
    return small_->getText(url, maxBytes, body);
  }
  bool getBody(const std::string& url, std::size_t maxBytes, std::string& body) override {
    return small_->getBody(url, maxBytes, body);
  }
  bool getLastModified(const std::string& url, std::string& lastModified) override {
    return small_->getLastModified(url, lastModified);
  }
  TransferResult download(const std::string& url, const ByteSink& sink, const TransferProgress& progress,
                          std::int64_t maxBytes, const DownloadRange& range) override {
    return downloads_->download(url, sink, progress, maxBytes, range);
  }
  TransferResult lastSmallRequest() const override {
    const platform::WebOutcome outcome = small_->lastOutcome();
    if (outcome.arrived) return {TransferOutcome::Completed, outcome.status, {}};
    return {TransferOutcome::Failed, outcome.status, outcome.failure};
  }
  std::unique_ptr<TransferEngine> openEngine(int connections) override {
    return downloads_->openEngine(connections);
  }

 private:
  std::unique_ptr<platform::WebRequests> small_;
  std::unique_ptr<HttpTransport> downloads_;
};

}  // namespace

bool SmallRequestLog::logged(bool answered) {
  const std::string problem = smallRequestProblem(transport_.lastSmallRequest());
  if (!problem.empty()) writeDownloadLog(logPath_, problem);
  return answered;
}

bool SmallRequestLog::getText(const std::string& url, std::size_t maxBytes, std::string& body) {
  return logged(transport_.getText(url, maxBytes, body));
}

bool SmallRequestLog::getBody(const std::string& url, std::size_t maxBytes, std::string& body) {
  return logged(transport_.getBody(url, maxBytes, body));
}

bool SmallRequestLog::getLastModified(const std::string& url, std::string& lastModified) {
  return logged(transport_.getLastModified(url, lastModified));
}

TransferResult SmallRequestLog::download(const std::string& url, const ByteSink& sink,
                                         const TransferProgress& progress, std::int64_t maxBytes,
                                         const DownloadRange& range) {
  return transport_.download(url, sink, progress, maxBytes, range);
}

std::unique_ptr<HttpTransport> combineTransports(std::unique_ptr<platform::WebRequests> small,
                                                 std::unique_ptr<HttpTransport> downloads) {
  if (small == nullptr) return downloads;
  return std::make_unique<CombinedTransport>(std::move(small), std::move(downloads));
}

std::unique_ptr<HttpTransport> makeSiteTransport(const CurlTransportOptions& options) {
  return combineTransports(platform::makeSystemWebRequests(), makeCurlTransport(options));
}

}  // namespace kv::updater
