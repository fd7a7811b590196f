#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string_view>
#include <string>

#include "updater/curl_transport.h"
#include "updater/http_transport.h"

namespace kv::updater {

class RateLimit;

// What the callbacks of one libcurl request share with it. Lives as long as
// the request; used by the single-request transport and by the parallel
// transfer engine alike.
struct RequestState {
  CURL* handle = nullptr;
  // Small bodies: collected here up to limit bytes (0: no limit).
  std::string* buffer = nullptr;
  // Downloads: handed to sink; a status-200 body may hold up to limit bytes,
  // an error page is cut after kErrorPageLimit.
  const ByteSink* sink = nullptr;
  const TransferProgress* progress = nullptr;
  const DownloadRange* range = nullptr;  // downloads: the part asked for (may be null)
  curl_slist* headers = nullptr;          // request headers owned by the state
  std::int64_t limit = 0;
  std::int64_t received = 0;
  bool limitDecided = false;
  bool limitActive = false;
  bool errorPage = false;  // a download answered with another status than 200
  bool overLimit = false;
  bool pageCut = false;  // an error page reached its limit
  bool callbackFailed = false;  // a callback could not do its work
  bool rangeRefused = false;    // a 206 that does not continue the held bytes
  // Downloads of the transfer engine: the limit the body waits for (null:
  // none), and whether the body callback paused the transfer for it.
  RateLimit* rateLimit = nullptr;
  bool paused = false;
  // Header requests: stop at the first body byte.
  bool headersOnly = false;
  bool stoppedAtBody = false;
  // The headers of the latest response (after redirects: of the final one).
  std::string lastModified;
  bool lastModifiedSeen = false;
  std::string etag;
  bool etagSeen = false;
  std::string contentRange;
  bool contentRangeSeen = false;

  RequestState() = default;
  ~RequestState() { curl_slist_free_all(headers); }
  RequestState(const RequestState&) = delete;
  RequestState& operator=(const RequestState&) = delete;
};

// libcurl's header callback for a RequestState: keeps the first
// Last-Modified, ETag and Content-Range values of the latest response.
size_t onRequestHeader(char* data, size_t size, size_t count, void* user);

// libcurl's body callback for a RequestState.
size_t onRequestBody(char* data, size_t size, size_t count, void* user);

// The limits every request shares: redirects (https only, at most
// kMaxRedirects), certificate and host verification, the trusted CA file,
// the connect time-out and the no-data time-out.
void setRequestLimits(CURL* handle, const CurlTransportOptions& options);

// Sets up handle (fresh or reset) for a request of url whose body and
// headers go to state: redirects followed, TLS 1.2 or newer, the agent
// string, and the limits of setRequestLimits.
void configureRequest(CURL* handle, const std::string& url, std::string_view agent, RequestState& state,
                      const CurlTransportOptions& options);

// Sets up handle (fresh or reset) for a download of url into state, which
// must already hold the sink, progress, range and limit of the transfer.
void configureDownload(CURL* handle, const std::string& url, RequestState& state,
                       const CurlTransportOptions& options);

// The result of a finished download from libcurl's code and the state.
TransferResult downloadResult(CURL* handle, CURLcode code, const RequestState& state);

// Loads libcurl's global state once per process.
void initializeCurlOnce();

}  // namespace kv::updater
