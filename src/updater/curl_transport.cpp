#include "updater/curl_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <string_view>

#include "updater/endpoints.h"

namespace kv::updater {
namespace {

constexpr long kDownloadBufferBytes = 100 * 1024;

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { (void)curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What the callbacks of one request share with it.
struct RequestState {
  CURL* handle = nullptr;
  // Small bodies: collected here up to limit bytes (0: no limit).
  std::string* buffer = nullptr;
  // Downloads: handed to sink; a status-200 body may hold up to limit bytes,
  // an error page is cut after kErrorPageLimit.
  const ByteSink* sink = nullptr;
  const TransferProgress* progress = nullptr;
  std::int64_t limit = 0;
  std::int64_t received = 0;
  bool limitDecided = false;
  bool limitActive = false;
  bool errorPage = false;  // a download answered with another status than 200
  bool overLimit = false;
  bool pageCut = false;  // an error page reached its limit
  bool callbackFailed = false;  // a callback could not do its work
  // Header requests: stop at the first body byte.
  bool headersOnly = false;
  bool stoppedAtBody = false;
  std::string lastModified;
  bool lastModifiedSeen = false;
};

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

std::string_view trimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<RequestState*>(user);
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    // A new response (after a redirect or an interim answer): start over.
    state->lastModified.clear();
    state->lastModifiedSeen = false;
  } else if (!state->lastModifiedSeen && startsWithNoCase(line, "last-modified:")) {
    try {
      state->lastModified = std::string(trimBlanks(line.substr(14)));
    } catch (...) {
      return 0;  // nothing may be thrown through libcurl
    }
    state->lastModifiedSeen = true;
  }
  return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<RequestState*>(user);
  const size_t bytes = size * count;
  if (state->headersOnly) {
    state->stoppedAtBody = true;
    return 0;
  }
  if (!state->limitDecided) {
    state->limitDecided = true;
    if (state->buffer != nullptr) {
      state->limitActive = state->limit > 0;
    } else {
      long code = 0;
      (void)curl_easy_getinfo(state->handle, CURLINFO_RESPONSE_CODE, &code);
      state->limitActive = true;
      if (code != 200) {
        state->errorPage = true;
        state->limit = kErrorPageLimit;
      }
    }
  }
  const std::int64_t before = state->received;
  state->received += static_cast<std::int64_t>(bytes);
  std::size_t keep = bytes;
  if (state->limitActive && state->received > state->limit) {
    if (!state->errorPage) {
      state->overLimit = true;
      return 0;
    }
    // The error page ends here: its first kErrorPageLimit bytes are kept.
    state->pageCut = true;
    keep = static_cast<std::size_t>(std::max<std::int64_t>(state->limit - before, 0));
  }
  // Nothing may be thrown through libcurl.
  try {
    if (state->pageCut) {
      if (keep > 0 && state->sink != nullptr) (void)(*state->sink)(data, keep);
      return 0;
    }
    if (state->buffer != nullptr) {
      state->buffer->append(data, bytes);
      return bytes;
    }
    if (state->sink != nullptr && !(*state->sink)(data, bytes)) return 0;
  } catch (...) {
    state->callbackFailed = true;
    return 0;
  }
  return bytes;
}

int onProgress(void* user, curl_off_t /*downloadTotal*/, curl_off_t downloaded, curl_off_t /*uploadTotal*/,
               curl_off_t /*uploaded*/) {
  auto* state = static_cast<RequestState*>(user);
  // Nothing may be thrown through libcurl.
  try {
    if (state->progress != nullptr && *state->progress &&
        !(*state->progress)(static_cast<std::int64_t>(downloaded))) {
      return 1;  // the run was cancelled
    }
  } catch (...) {
    state->callbackFailed = true;
    return 1;
  }
  return 0;
}

class CurlTransport final : public HttpTransport {
 public:
  explicit CurlTransport(CurlTransportOptions options) : options_(std::move(options)) {}
  ~CurlTransport() override {
    if (handle_ != nullptr) curl_easy_cleanup(handle_);
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
    state.handle = handle;
    state.headersOnly = true;
    setCommon(handle, url, kHttpAgent, state);
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
                          std::int64_t maxBytes) override {
    TransferResult result;
    CURL* handle = prepare();
    if (handle == nullptr) {
      result.outcome = TransferOutcome::InitFailed;
      return result;
    }
    RequestState state;
    state.handle = handle;
    state.sink = &sink;
    state.progress = &progress;
    state.limit = maxBytes;
    // The download options in the engine's documented order, then the
    // limits every request shares.
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &state);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &state);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(handle, CURLOPT_USERAGENT, std::string(kHttpAgent).c_str());
    // Large files stream in the same piece size as the curl tool uses.
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
    setLimits(handle);

    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    (void)curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    result.status = status;
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && state.pageCut)) {
      result.outcome = TransferOutcome::Completed;
    } else if (code == CURLE_ABORTED_BY_CALLBACK && !state.callbackFailed) {
      result.outcome = TransferOutcome::Aborted;
    } else {
      result.outcome = TransferOutcome::Failed;
      result.errorText = curl_easy_strerror(state.overLimit ? CURLE_FILESIZE_EXCEEDED : code);
    }
    return result;
  }

  TransferResult lastSmallRequest() const override { return lastSmall_; }

 private:
  // The run's one handle, reset between requests: its connection cache, TLS
  // sessions and name cache survive the reset.
  CURL* prepare() {
    if (handle_ == nullptr) {
      initializeCurlOnce();
      handle_ = curl_easy_init();
    } else {
      curl_easy_reset(handle_);
    }
    return handle_;
  }

  void setLimits(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, options_.caFile.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    if (options_.connectTimeoutSeconds > 0) {
      curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, options_.connectTimeoutSeconds);
    }
    if (options_.stallSeconds > 0) {
      curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, options_.stallSeconds);
    }
  }

  void setCommon(CURL* handle, const std::string& url, std::string_view agent, RequestState& state) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &state);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &state);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    const std::string agentText(agent);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, agentText.c_str());  // libcurl copies it
    setLimits(handle);
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
    state.handle = handle;
    state.buffer = &collected;
    state.limit = static_cast<std::int64_t>(maxBytes);
    setCommon(handle, url, agent, state);
    curl_slist* headers = nullptr;
    if (noCache) {
      headers = curl_slist_append(headers, "Cache-Control: no-cache");
      headers = curl_slist_append(headers, "Pragma: no-cache");
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    }
    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    (void)curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
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
};

}  // namespace

std::unique_ptr<HttpTransport> makeCurlTransport(const CurlTransportOptions& options) {
  return std::make_unique<CurlTransport>(options);
}

}  // namespace kv::updater
