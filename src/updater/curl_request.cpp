#include "updater/curl_request.h"

#include <algorithm>
#include <mutex>

#include "updater/download_resume.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

constexpr long kDownloadBufferBytes = 100 * 1024;

int onRequestProgress(void* user, curl_off_t /*downloadTotal*/, curl_off_t downloaded, curl_off_t /*uploadTotal*/,
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

// Keeps the value of line in value when line is the first header called name
// (with its colon) of the response.
void keepFirst(std::string_view line, std::string_view name, std::string& value, bool& seen) {
  if (seen || !startsWithNoCase(line, name)) return;
  value = std::string(trimBlanks(line.substr(name.size())));
  seen = true;
}

}  // namespace

size_t onRequestHeader(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<RequestState*>(user);
  const std::string_view line(data, size * count);
  // Nothing may be thrown through libcurl.
  try {
    if (line.starts_with("HTTP/")) {
      // A new response (after a redirect or an interim answer): start over.
      state->lastModified.clear();
      state->lastModifiedSeen = false;
      state->etag.clear();
      state->contentRange.clear();
      state->etagSeen = false;
      state->contentRangeSeen = false;
      return size * count;
    }
    keepFirst(line, "last-modified:", state->lastModified, state->lastModifiedSeen);
    keepFirst(line, "etag:", state->etag, state->etagSeen);
    keepFirst(line, "content-range:", state->contentRange, state->contentRangeSeen);
  } catch (...) {
    return 0;
  }
  return size * count;
}

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { (void)curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t onRequestBody(char* data, size_t size, size_t count, void* user) {
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
      const DownloadRange none;
      const DownloadRange& range = state->range != nullptr ? *state->range : none;
      bool rest = false;
      // Nothing may be thrown through libcurl.
      try {
        const std::string validator = answerValidator(state->etag, state->lastModified);
        switch (judgeAnswerBody(code, state->contentRange, validator, range, state->limit)) {
          case AnswerBody::Whole:
            break;
          case AnswerBody::Rest:
            rest = true;
            state->limit = restBytes(range, state->limit);
            break;
          case AnswerBody::Refused:
            state->rangeRefused = true;
            return 0;
          case AnswerBody::ErrorPage:
            state->errorPage = true;
            state->limit = kErrorPageLimit;
            break;
        }
        if (!state->errorPage && range.bodyStart && !range.bodyStart(rest, validator)) {
          state->callbackFailed = true;
          return 0;
        }
      } catch (...) {
        state->callbackFailed = true;
        return 0;
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

void setRequestLimits(CURL* handle, const CurlTransportOptions& options) {
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, options.caFile.c_str());
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (options.connectTimeoutSeconds > 0) {
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, options.connectTimeoutSeconds);
  }
  if (options.stallSeconds > 0) {
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, options.stallSeconds);
  }
}

void configureRequest(CURL* handle, const std::string& url, std::string_view agent, RequestState& state,
                      const CurlTransportOptions& options) {
  state.handle = handle;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onRequestBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &onRequestHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  const std::string agentText(agent);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, agentText.c_str());  // libcurl copies it
  setRequestLimits(handle, options);
}

void configureDownload(CURL* handle, const std::string& url, RequestState& state,
                       const CurlTransportOptions& options) {
  configureRequest(handle, url, kHttpAgent, state, options);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onRequestProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &state);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  // Large files stream in the same piece size as the curl tool uses.
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
  if (state.range != nullptr && state.range->asksRange()) {
    // The rest of the file (or a slice of it), only if it is still the one
    // the held bytes came from; a plain Range header, so libcurl leaves
    // judging the answer to the body callback.
    std::string bytes = std::to_string(state.range->from) + "-";
    if (state.range->isSlice()) bytes += std::to_string(state.range->to);
    curl_easy_setopt(handle, CURLOPT_RANGE, bytes.c_str());  // libcurl copies it
    if (!state.range->ifRange.empty()) {
      curl_slist* headers = curl_slist_append(state.headers, ("If-Range: " + state.range->ifRange).c_str());
      if (headers != nullptr) state.headers = headers;
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, state.headers);
    }
  }
}

TransferResult downloadResult(CURL* handle, CURLcode code, const RequestState& state) {
  TransferResult result;
  long status = 0;
  (void)curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  result.status = status;
  if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && state.pageCut)) {
    result.outcome = TransferOutcome::Completed;
  } else if (code == CURLE_ABORTED_BY_CALLBACK && !state.callbackFailed) {
    result.outcome = TransferOutcome::Aborted;
  } else if (state.rangeRefused) {
    result.outcome = TransferOutcome::Failed;
    result.rangeRefused = true;
    result.errorText = curl_easy_strerror(CURLE_RANGE_ERROR);
  } else {
    result.outcome = TransferOutcome::Failed;
    result.errorText = curl_easy_strerror(state.overLimit ? CURLE_FILESIZE_EXCEEDED : code);
    switch (code) {
      case CURLE_COULDNT_CONNECT:
      case CURLE_SEND_ERROR:
      case CURLE_RECV_ERROR:
      case CURLE_GOT_NOTHING:
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_HTTP2:
      case CURLE_HTTP2_STREAM:
      case CURLE_PARTIAL_FILE:  // what a stream reset or a GOAWAY mid-body may look like
        result.connectionLost = true;
        break;
      default:
        break;
    }
  }
  return result;
}

}  // namespace kv::updater
