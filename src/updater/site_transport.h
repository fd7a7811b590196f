#pragma once

#include <memory>
#include <string>
#include <utility>

#include "platform/web_requests.h"
#include "updater/curl_transport.h"
#include "updater/http_transport.h"

namespace kv::updater {

// The HttpTransport of an update run: where the system has an HTTP client of
// its own, it makes the small requests (manifests, version, Last-Modified)
// and libcurl the downloads; elsewhere libcurl makes everything.
std::unique_ptr<HttpTransport> makeSiteTransport(const CurlTransportOptions& options);

// Passes every request on to transport; each small request (manifest,
// version text, Last-Modified stamp) that falls short adds its
// smallRequestProblem as a line to the log at logPath. Downloads log their
// own failures. Used by the thread that uses transport.
class SmallRequestLog final : public HttpTransport {
 public:
  SmallRequestLog(HttpTransport& transport, std::string logPath)
      : transport_(transport), logPath_(std::move(logPath)) {}

  bool getText(const std::string& url, std::size_t maxBytes, std::string& body) override;
  bool getBody(const std::string& url, std::size_t maxBytes, std::string& body) override;
  bool getLastModified(const std::string& url, std::string& lastModified) override;
  TransferResult download(const std::string& url, const ByteSink& sink, const TransferProgress& progress,
                          std::int64_t maxBytes, const DownloadRange& range) override;
  TransferResult lastSmallRequest() const override { return transport_.lastSmallRequest(); }
  std::unique_ptr<TransferEngine> openEngine(int connections) override {
    return transport_.openEngine(connections);
  }

 private:
  bool logged(bool answered);

  HttpTransport& transport_;
  const std::string logPath_;
};

// The small requests of small, the downloads of downloads.
std::unique_ptr<HttpTransport> combineTransports(std::unique_ptr<platform::WebRequests> small,
                                                 std::unique_ptr<HttpTransport> downloads);

}  // namespace kv::updater
