#include "updater/curl_transport.h"

#include <curl/curl.h>

#include <string_view>

#include "updater/curl_request.h"
#include "updater/endpoints.h"
#include "updater/transfer_engine.h"

namespace kv::updater {
namespace {

class CurlTransport final : public HttpTransport {
 public:
  explicit CurlTransport(CurlTransportOptions options) : options_(std::move(options)) {}
  ~CurlTransport() override {
    if (handle_ != nullptr) curl_easy_cleanup(handle_);
    if (share_ != nullptr) curl_share_cleanup(share_);
  }
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  bool getText(const std::string& url, std::size_t maxBytes, std::string& body) override {
    return getSmall(url, kTextAgent, /*noCache=*/true, maxBytes, body);
  }

  bool getBody(const std::string& url, std::size_t maxBytes, std::string& body) override {
    return getSmall(url, kHttpAgent, /*noCache=*/false, maxBytes, body);
  }

  bool getLastModified(const std::string& url, std::string& lastModified) override {
    CURL* handle = prepare();
    if (handle == nullptr) {
      lastSmall_ = {TransferOutcome::InitFailed, 0, {}};
      return false;
    }
    RequestState state;
    state.headersOnly = true;
    configureRequest(handle, url, kHttpAgent, state, options_);
    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    (void)curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    const bool arrived = code == CURLE_OK || (code == CURLE_WRITE_ERROR && state.stoppedAtBody);
    noteSmallRequest(arrived ? CURLE_OK : code, status);
    if (!arrived || status == 0) return false;
    lastModified = state.lastModified;
    return true;
  }

  TransferResult download(const std::string& url, const ByteSink& sink, const TransferProgress& progress,
                          std::int64_t maxBytes, const DownloadRange& range) override {
    CURL* handle = prepare();
    if (handle == nullptr) {
      TransferResult result;
      result.outcome = TransferOutcome::InitFailed;
      return result;
    }
    RequestState state;
    state.sink = &sink;
    state.progress = &progress;
    state.range = &range;
    state.limit = maxBytes;
    configureDownload(handle, url, state, options_);
    return downloadResult(handle, curl_easy_perform(handle), state);
  }

  // The engine reuses this transport's connections and TLS sessions, and
  // starts with many streams at once when the site already answered over
  // HTTP/2.
  std::unique_ptr<TransferEngine> openEngine(int connections) override {
    CurlEngineStart start;
    start.share = share_;
    start.multiplexed = lastVersion_ >= CURL_HTTP_VERSION_2_0;
    return makeCurlEngine(options_, connections, start);
  }

  TransferResult lastSmallRequest() const override { return lastSmall_; }

 private:
  // The run's one handle, reset between requests: its connection cache, TLS
  // sessions and name cache survive the reset.
  CURL* prepare() {
    if (handle_ == nullptr) {
      initializeCurlOnce();
      handle_ = curl_easy_init();
      share_ = curl_share_init();
      if (share_ != nullptr) {
        (void)curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        (void)curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        (void)curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
      }
    } else {
      curl_easy_reset(handle_);
    }
    if (handle_ != nullptr && share_ != nullptr) curl_easy_setopt(handle_, CURLOPT_SHARE, share_);
    return handle_;
  }

  bool getSmall(const std::string& url, std::string_view agent, bool noCache, std::size_t maxBytes,
                std::string& body) {
    CURL* handle = prepare();
    if (handle == nullptr) {
      lastSmall_ = {TransferOutcome::InitFailed, 0, {}};
      return false;
    }
    std::string collected;
    RequestState state;
    state.buffer = &collected;
    state.limit = static_cast<std::int64_t>(maxBytes);
    configureRequest(handle, url, agent, state, options_);
    curl_slist* headers = nullptr;
    if (noCache) {
      headers = curl_slist_append(headers, "Cache-Control: no-cache");
      headers = curl_slist_append(headers, "Pragma: no-cache");
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    }
    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    (void)curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (code == CURLE_OK) (void)curl_easy_getinfo(handle, CURLINFO_HTTP_VERSION, &lastVersion_);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    noteSmallRequest(state.overLimit ? CURLE_FILESIZE_EXCEEDED : code, status);
    if (code != CURLE_OK || status == 0) return false;
    body = std::move(collected);
    return true;
  }

  void noteSmallRequest(CURLcode code, long status) {
    lastSmall_ = {};
    lastSmall_.status = status;
    if (code == CURLE_OK && status != 0) {
      lastSmall_.outcome = TransferOutcome::Completed;
    } else {
      lastSmall_.outcome = TransferOutcome::Failed;
      lastSmall_.errorText = curl_easy_strerror(code != CURLE_OK ? code : CURLE_GOT_NOTHING);
    }
  }

  CurlTransportOptions options_;
  CURL* handle_ = nullptr;
  TransferResult lastSmall_;  // how the last small request went
  // The connections, TLS sessions and names this transport shares with its
  // engines; one thread only, so without locks.
  CURLSH* share_ = nullptr;
  long lastVersion_ = 0;  // HTTP version of the last small answer
};

}  // namespace

std::unique_ptr<HttpTransport> makeCurlTransport(const CurlTransportOptions& options) {
  return std::make_unique<CurlTransport>(options);
}

}  // namespace kv::updater
