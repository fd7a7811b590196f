#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "updater/download_resume.h"
#include "updater/endpoints.h"
#include "updater/http_transport.h"
#include "updater/transfer_engine.h"

namespace kv::updater::testing {

// One scripted answer of the fake transport.
struct FakeAnswer {
  bool arrived = true;        // small requests: whether a response arrived at all
  long status = 200;          // the final status
  std::string body;           // the response body
  std::string lastModified;   // header requests and downloads: the Last-Modified value ("" = none)
  std::string etag;           // downloads: the ETag value ("" = none)
  std::string contentRange;   // downloads: the Content-Range value ("" = none)
  TransferOutcome outcome = TransferOutcome::Completed;  // downloads
  std::string errorText;      // downloads that fail, small requests without a response
  bool connectionLost = false;  // downloads that fail: refused or reset
  std::vector<std::int64_t> progressSteps;  // downloads: byte counts told to progress first
};

enum class FakeRequestKind { Text, Body, LastModified, Download };

struct FakeRequest {
  FakeRequestKind kind;
  std::string url;
  std::int64_t rangeFrom = 0;  // downloads: the first byte asked for
  std::string ifRange;         // downloads with a range: the validator named
  std::int64_t rangeTo = -1;   // downloads of a slice: its last byte
};

// A file the fake transport serves as a static site does: whole, or in the
// ranges asked for (a 206 with its Content-Range) while If-Range, when sent,
// names its ETag.
struct ServedFile {
  std::string bytes;
  std::string etag = "\"served\"";
  bool ignoreRanges = false;  // answers every request with the whole file, as a site without ranges
};

// A transport that answers from a script per URL (each URL's answers are
// used in order, the last one repeats) and records every request. A URL
// without a script gets no response. Single thread only.
class FakeHttpTransport : public HttpTransport {
 public:
  void script(const std::string& url, FakeAnswer answer) { answers_[url].push_back(std::move(answer)); }
  // Serves file at url (for downloads and small requests), instead of a
  // script.
  void serve(const std::string& url, ServedFile file) { served_[url] = std::move(file); }
  // Bytes of downloads' bodies handed to sinks so far.
  std::int64_t downloadedBytes = 0;
  // Whether url has at least one scripted answer.
  bool hasScript(const std::string& url) const { return answers_.count(url) != 0; }

  bool getText(const std::string& url, std::size_t maxBytes, std::string& body) override {
    return small(FakeRequestKind::Text, url, maxBytes, body);
  }
  bool getBody(const std::string& url, std::size_t maxBytes, std::string& body) override {
    return small(FakeRequestKind::Body, url, maxBytes, body);
  }
  bool getLastModified(const std::string& url, std::string& lastModified) override {
    const FakeAnswer* answer = next(FakeRequestKind::LastModified, url);
    noteSmall(answer);
    if (answer == nullptr || !answer->arrived) return false;
    lastModified = answer->lastModified;
    return true;
  }
  // Small requests: Completed with the answer's status, or Failed with its
  // errorText (an unscripted URL: "Couldn't connect to server").
  TransferResult lastSmallRequest() const override { return lastSmall_; }
  TransferResult download(const std::string& url, const ByteSink& sink, const TransferProgress& progress,
                          std::int64_t maxBytes, const DownloadRange& range) override {
    TransferResult result;
    const FakeAnswer* answer = next(FakeRequestKind::Download, url, range);
    FakeAnswer servedAnswer;
    if (const auto it = served_.find(url); it != served_.end()) {
      const ServedFile& file = it->second;
      servedAnswer.etag = file.etag;
      servedAnswer.body = file.bytes;
      const auto size = static_cast<std::int64_t>(file.bytes.size());
      const bool fresh = range.ifRange.empty() || range.ifRange == file.etag;
      if (range.asksRange() && !file.ignoreRanges && fresh && range.from < size) {
        const std::int64_t last = range.isSlice() ? std::min(range.to, size - 1) : size - 1;
        servedAnswer.status = 206;
        servedAnswer.body = file.bytes.substr(range.from, last - range.from + 1);
        servedAnswer.contentRange =
            "bytes " + std::to_string(range.from) + "-" + std::to_string(last) + "/" + std::to_string(size);
      }
      answer = &servedAnswer;
    }
    if (answer == nullptr) {
      result.outcome = TransferOutcome::Failed;
      result.errorText = "Couldn't connect to server";
      return result;
    }
    for (const std::int64_t step : answer->progressSteps) {
      if (progress && !progress(step)) {
        result.outcome = TransferOutcome::Aborted;
        return result;
      }
    }
    result.status = answer->status;
    if (answer->outcome == TransferOutcome::Completed || answer->outcome == TransferOutcome::Failed) {
      const std::string& body = answer->body;
      // Like the real transport: a status-200 body (a 206: the rest) may not
      // exceed maxBytes, an error page is cut after kErrorPageLimit bytes.
      const std::string validator = answerValidator(answer->etag, answer->lastModified);
      const AnswerBody kind = judgeAnswerBody(answer->status, answer->contentRange, validator, range, maxBytes);
      if (kind == AnswerBody::Refused) {
        result.outcome = TransferOutcome::Failed;
        result.rangeRefused = true;
        return result;
      }
      if (kind == AnswerBody::Rest) maxBytes = restBytes(range, maxBytes);
      const bool errorPage = kind == AnswerBody::ErrorPage;
      if (!errorPage && !body.empty() && range.bodyStart && !range.bodyStart(kind == AnswerBody::Rest, validator)) {
        result.outcome = TransferOutcome::Failed;
        result.errorText = "Failed writing received data to disk/application";
        return result;
      }
      const std::size_t limit =
          static_cast<std::size_t>(std::max<std::int64_t>(errorPage ? kErrorPageLimit : maxBytes, 0));
      const std::size_t allowed = std::min<std::size_t>(body.size(), errorPage ? limit : limit + 1);
      if (!errorPage) downloadedBytes += static_cast<std::int64_t>(allowed);
      if (allowed > 0 && !sink(body.data(), allowed)) {
        result.outcome = TransferOutcome::Failed;
        result.errorText = "Failed writing received data to disk/application";
        return result;
      }
      if (!errorPage && body.size() > limit) {
        result.outcome = TransferOutcome::Failed;
        result.errorText = "Maximum file size exceeded";
        return result;
      }
    }
    result.outcome = answer->outcome;
    result.errorText = answer->errorText;
    result.connectionLost = answer->connectionLost;
    return result;
  }

  // The fake's engine admits this many transfers at once and runs them one
  // after another, in the order they were started.
  std::unique_ptr<TransferEngine> openEngine(int /*connections*/) override {
    return makeSequentialEngine(*this, engineWidth);
  }
  int engineWidth = 1;

  // Every request so far, in order.
  std::vector<FakeRequest> requests;
  // Called at the start of every request (after it was recorded).
  std::function<void(const FakeRequest&)> onRequest;

  // How many requests went to url.
  int count(const std::string& url) const {
    int n = 0;
    for (const FakeRequest& request : requests) n += request.url == url ? 1 : 0;
    return n;
  }

 private:
  const FakeAnswer* next(FakeRequestKind kind, const std::string& url, const DownloadRange& range = {}) {
    requests.push_back({kind, url, range.from, range.ifRange, range.to});
    if (onRequest) onRequest(requests.back());
    auto it = answers_.find(url);
    if (it == answers_.end() || it->second.empty()) return nullptr;
    std::size_t& used = used_[url];
    const FakeAnswer* answer = &it->second[std::min(used, it->second.size() - 1)];
    ++used;
    return answer;
  }

  bool small(FakeRequestKind kind, const std::string& url, std::size_t maxBytes, std::string& body) {
    const FakeAnswer* answer = next(kind, url);
    FakeAnswer servedAnswer;
    if (const auto it = served_.find(url); it != served_.end()) {
      servedAnswer.body = it->second.bytes;
      answer = &servedAnswer;
    }
    noteSmall(answer);
    if (answer == nullptr || !answer->arrived) return false;
    if (maxBytes > 0 && answer->body.size() > maxBytes) {
      lastSmall_ = {TransferOutcome::Failed, 0, "Maximum file size exceeded"};
      return false;
    }
    body = answer->body;
    return true;
  }

  void noteSmall(const FakeAnswer* answer) {
    if (answer != nullptr && answer->arrived) {
      lastSmall_ = {TransferOutcome::Completed, answer->status, {}};
    } else {
      const bool told = answer != nullptr && !answer->errorText.empty();
      lastSmall_ = {TransferOutcome::Failed, 0, told ? answer->errorText : "Couldn't connect to server"};
    }
  }

  TransferResult lastSmall_;
  std::map<std::string, std::deque<FakeAnswer>> answers_;
  std::map<std::string, std::size_t> used_;
  std::map<std::string, ServedFile> served_;
};

}  // namespace kv::updater::testing
