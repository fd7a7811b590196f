#include "s3_store.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "file_hash.h"
#include "sigv4.h"

namespace kv::tools {
namespace {

constexpr std::int64_t kMaxParts = 10000;
constexpr std::size_t kAnswerLimit = std::size_t{64} * 1024 * 1024;
constexpr const char* kUnsignedPayload = "UNSIGNED-PAYLOAD";

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string amzDateNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

// The texts between <tag> and </tag>, XML entities of the five kinds undone
// unless raw.
std::vector<std::string> xmlValues(const std::string& body, const std::string& tag, bool raw = false) {
  std::vector<std::string> out;
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  for (std::size_t at = body.find(open); at != std::string::npos; at = body.find(open, at)) {
    const std::size_t start = at + open.size();
    const std::size_t end = body.find(close, start);
    if (end == std::string::npos) break;
    std::string value;
    for (std::size_t i = start; i < end && raw; ++i) value.push_back(body[i]);
    for (std::size_t i = start; i < end && !raw; ++i) {
      static const std::pair<const char*, char> entities[] = {
          {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
      bool replaced = false;
      for (const auto& [entity, c] : entities) {
        const std::string_view e(entity);
        if (body.compare(i, e.size(), e) == 0) {
          value.push_back(c);
          i += e.size() - 1;
          replaced = true;
          break;
        }
      }
      if (!replaced) value.push_back(body[i]);
    }
    out.push_back(value);
    at = end + close.size();
  }
  return out;
}

std::string firstXml(const std::string& body, const std::string& tag) {
  const auto values = xmlValues(body, tag);
  return values.empty() ? std::string() : values.front();
}

std::string hexOf(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out.push_back(digits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(digits[static_cast<unsigned char>(c) & 0x0F]);
  }
  return out;
}

// The raw MD5 of length bytes of file from offset (the checksum S3 names a
// part by). False when they cannot be read.
bool md5Of(const std::string& file, std::int64_t offset, std::int64_t length, std::string& digest) {
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) return false;
  bool ok = ::fseeko(in, offset, SEEK_SET) == 0;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_md5(), nullptr);
  std::vector<unsigned char> buffer(1 << 20);
  while (ok && length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(length, 1 << 20));
    const std::size_t got = std::fread(buffer.data(), 1, want, in);
    ok = got == want;
    EVP_DigestUpdate(context, buffer.data(), got);
    length -= static_cast<std::int64_t>(got);
  }
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(context, out, &size);
  EVP_MD_CTX_free(context);
  std::fclose(in);
  digest.assign(reinterpret_cast<const char*>(out), size);
  return ok;
}

// The bytes a request sends.
struct Body {
  const std::string* text = nullptr;  // or
  std::string file;
  std::int64_t offset = 0, size = 0;
  std::function<void(std::int64_t)> onSent;
};

struct Request {
  std::string method;
  std::string key;  // "" for the bucket itself
  std::vector<std::pair<std::string, std::string>> query;
  std::vector<std::pair<std::string, std::string>> headers;
  Body body;
  std::string payloadHash;  // "" computes it for text bodies
};

struct Answer {
  long status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string failure;                         // a network fault, when status is 0
};

// What the read callback of an upload works on.
struct Upload {
  const Body* body = nullptr;
  std::FILE* file = nullptr;
  std::size_t textAt = 0;
  std::int64_t left = 0;
  bool readFailed = false;
};

size_t readBody(char* buffer, size_t size, size_t count, void* user) {
  auto* upload = static_cast<Upload*>(user);
  const auto room = static_cast<std::int64_t>(size * count);
  const std::int64_t want = std::min(room, upload->left);
  if (want <= 0) return 0;
  std::size_t got = 0;
  if (upload->body->text != nullptr) {
    got = static_cast<std::size_t>(want);
    std::copy_n(upload->body->text->data() + upload->textAt, got, buffer);
    upload->textAt += got;
  } else {
    got = std::fread(buffer, 1, static_cast<std::size_t>(want), upload->file);
    if (got == 0) {
      upload->readFailed = true;
      return CURL_READFUNC_ABORT;
    }
  }
  upload->left -= static_cast<std::int64_t>(got);
  if (upload->body->onSent) upload->body->onSent(static_cast<std::int64_t>(got));
  return got;
}

size_t collectBody(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<Answer*>(user);
  if (answer->body.size() + size * count > kAnswerLimit) return 0;
  answer->body.append(data, size * count);
  return size * count;
}

size_t collectHeader(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<Answer*>(user);
  const std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) answer->headers.clear();  // a new response (after 100 Continue)
  const std::size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())) != 0) value.pop_back();
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())) != 0) value.erase(0, 1);
    answer->headers[lower(line.substr(0, colon))] = value;
  }
  return size * count;
}

class S3Store final : public ObjectStore {
 public:
  explicit S3Store(S3Config config) : config_(std::move(config)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::size_t scheme = config_.endpoint.find("://");
    scheme_ = config_.endpoint.substr(0, scheme);
    host_ = config_.endpoint.substr(scheme + 3);
    while (!host_.empty() && host_.back() == '/') host_.pop_back();
    if (config_.addressing == Addressing::VirtualHosted) host_ = config_.bucket + "." + host_;
  }
  ~S3Store() override {
    for (CURL* handle : idle_) curl_easy_cleanup(handle);
  }

  std::string describe() const override {
    return "s3://" + config_.bucket + (config_.prefix.empty() ? "" : "/" + config_.prefix);
  }

  StoreOutcome head(const std::string& key, StoredObject& object, std::string& error) override {
    Answer answer;
    if (!send({"HEAD", key, {}, {}, {}, ""}, answer, error)) return StoreOutcome::Failed;
    if (answer.status == 404) return StoreOutcome::Missing;
    if (answer.status != 200) return failed("HEAD", key, answer, error);
    object = factsOf(answer);
    return StoreOutcome::Done;
  }

  StoreOutcome getSmall(const std::string& key, std::string& body, StoredObject& object, std::string& error) override {
    Answer answer;
    if (!send({"GET", key, {}, {}, {}, ""}, answer, error)) return StoreOutcome::Failed;
    if (answer.status == 404) return StoreOutcome::Missing;
    if (answer.status != 200) return failed("GET", key, answer, error);
    object = factsOf(answer);
    body = std::move(answer.body);
    return StoreOutcome::Done;
  }

  StoreOutcome putText(const std::string& key, const std::string& text, const PutOptions& options,
                       std::string& error) override {
    Body body;
    body.text = &text;
    body.size = static_cast<std::int64_t>(text.size());
    Answer answer;
    if (!send({"PUT", key, {}, objectHeaders(options, true), body, ""}, answer, error)) return StoreOutcome::Failed;
    return putOutcome("PUT", key, answer, error);
  }

  StoreOutcome putFile(const std::string& key, const std::string& file, std::int64_t size, const PutOptions& options,
                       const std::function<void(std::int64_t)>& onSent, std::string& error) override {
    const std::int64_t partSize = partSizeFor(size, config_.partSize);
    if (size <= partSize) {
      Body body{nullptr, file, 0, size, onSent};
      Answer answer;
      // A whole file is signed with the hash it was published under, so
      // the store refuses bytes that changed on the way.
      const std::string payloadHash = options.sha256.empty() ? kUnsignedPayload : options.sha256;
      if (!send({"PUT", key, {}, objectHeaders(options, true), body, payloadHash}, answer, error)) {
        return StoreOutcome::Failed;
      }
      return putOutcome("PUT", key, answer, error);
    }
    return putMultipart(key, file, size, partSize, options, onSent, error);
  }

  StoreOutcome remove(const std::string& key, std::string& error) override {
    Answer answer;
    if (!send({"DELETE", key, {}, {}, {}, ""}, answer, error)) return StoreOutcome::Failed;
    if (answer.status == 204 || answer.status == 200 || answer.status == 404) return StoreOutcome::Done;
    return failed("DELETE", key, answer, error);
  }

  StoreOutcome list(const std::string& prefix, std::map<std::string, StoredObject>& objects,
                    std::string& error) override {
    std::string token;
    const std::string full = fullKey(prefix);
    // Some S3-compatible stores refuse a correctly signed listing whose
    // query holds "/", so the store is asked for the keys below the first
    // folder of the prefix and the rest is filtered here.
    const std::string asked = full.substr(0, full.find('/'));
    while (true) {
      std::vector<std::pair<std::string, std::string>> query = {{"list-type", "2"}, {"prefix", asked}};
      if (!token.empty()) query.emplace_back("continuation-token", token);
      Answer answer;
      if (!send({"GET", "", query, {}, {}, ""}, answer, error)) return StoreOutcome::Failed;
      if (answer.status != 200) return failed("LIST", prefix, answer, error);
      for (const auto& contents : xmlValues(answer.body, "Contents", true)) {
        const std::string key = firstXml(contents, "Key");
        if (key.compare(0, full.size(), full) != 0) continue;
        StoredObject object;
        object.etag = firstXml(contents, "ETag");
        const std::string size = firstXml(contents, "Size");
        object.size = size.empty() ? -1 : std::stoll(size);
        objects[key.substr(full.size() - prefix.size())] = object;
      }
      token = firstXml(answer.body, "NextContinuationToken");
      if (firstXml(answer.body, "IsTruncated") != "true" || token.empty()) return StoreOutcome::Done;
    }
  }

  bool etagOf(const std::string& file, std::int64_t size, std::string& etag, std::string& error) override {
    return multipartEtag(file, size, partSizeFor(size, config_.partSize), etag, error);
  }

 private:
  std::string fullKey(const std::string& key) const {
    return config_.prefix.empty() ? key : config_.prefix + "/" + key;
  }

  static StoredObject factsOf(const Answer& answer) {
    StoredObject object;
    const auto value = [&answer](const char* name) {
      const auto it = answer.headers.find(name);
      return it == answer.headers.end() ? std::string() : it->second;
    };
    object.etag = value("etag");
    object.sha256 = value("x-amz-meta-sha256");
    const std::string length = value("content-length");
    if (!length.empty()) object.size = std::stoll(length);
    return object;
  }

  static std::vector<std::pair<std::string, std::string>> objectHeaders(const PutOptions& options, bool conditions) {
    std::vector<std::pair<std::string, std::string>> headers;
    if (!options.sha256.empty()) headers.emplace_back("x-amz-meta-sha256", options.sha256);
    if (!options.contentType.empty()) headers.emplace_back("Content-Type", options.contentType);
    if (!options.cacheControl.empty()) headers.emplace_back("Cache-Control", options.cacheControl);
    if (conditions && options.condition.kind == WriteCondition::Kind::IfAbsent) {
      headers.emplace_back("If-None-Match", "*");
    } else if (conditions && options.condition.kind == WriteCondition::Kind::IfMatch) {
      headers.emplace_back("If-Match", options.condition.etag);
    }
    return headers;
  }

  StoreOutcome putOutcome(const char* what, const std::string& key, const Answer& answer, std::string& error) const {
    if (answer.status == 200) return StoreOutcome::Done;
    if (answer.status == 412 || answer.status == 409) {
      error = std::string(what) + " " + key + ": the object changed since it was read (" +
              std::to_string(answer.status) + ")";
      return StoreOutcome::ConditionFailed;
    }
    return failed(what, key, answer, error);
  }

  StoreOutcome failed(const char* what, const std::string& key, const Answer& answer, std::string& error) const {
    const std::string code = firstXml(answer.body, "Code");
    const std::string message = firstXml(answer.body, "Message");
    error = std::string(what) + " " + describe() + "/" + key + ": status " + std::to_string(answer.status);
    if (!code.empty()) error += " " + code;
    if (!message.empty()) error += ": " + message;
    if (code == "SignatureDoesNotMatch" || code == "InvalidAccessKeyId" || answer.status == 403) {
      error +=
          " (the store refused the keys: check AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and, for "
          "temporary keys, AWS_SESSION_TOKEN)";
    } else if (code == "NoSuchBucket") {
      error += " (check the bucket name, the endpoint and the region)";
    }
    return StoreOutcome::Failed;
  }

  StoreOutcome putMultipart(const std::string& key, const std::string& file, std::int64_t size, std::int64_t partSize,
                            const PutOptions& options, const std::function<void(std::int64_t)>& onSent,
                            std::string& error) {
    // An upload a stopped publication left is continued: the parts it holds
    // with these bytes are not sent again.
    std::string uploadId;
    std::map<std::size_t, StoredObject> held;
    if (!unfinishedUpload(key, uploadId, held)) {
      Answer created;
      if (!send({"POST", key, {{"uploads", ""}}, objectHeaders(options, false), {}, ""}, created, error)) {
        return StoreOutcome::Failed;
      }
      if (created.status != 200) return failed("POST", key, created, error);
      uploadId = firstXml(created.body, "UploadId");
      if (uploadId.empty()) {
        error = "POST " + key + ": the store answered no upload id";
        return StoreOutcome::Failed;
      }
    }
    const auto parts = static_cast<std::size_t>((size + partSize - 1) / partSize);
    std::vector<std::string> etags(parts);
    std::vector<std::string> errors(parts);
    std::mutex sentMutex;  // guards calls of onSent from the part threads
    const auto sent = [&](std::int64_t bytes) {
      std::lock_guard<std::mutex> lock(sentMutex);
      if (onSent) onSent(bytes);
    };
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    const auto work = [&] {
      for (std::size_t i = next++; i < parts && !stop; i = next++) {
        const std::int64_t offset = static_cast<std::int64_t>(i) * partSize;
        const std::int64_t length = std::min(partSize, size - offset);
        const auto there = held.find(i + 1);
        std::string digest;
        if (there != held.end() && there->second.size == length && md5Of(file, offset, length, digest) &&
            there->second.etag == "\"" + hexOf(digest) + "\"") {
          etags[i] = there->second.etag;
          sent(length);
          continue;
        }
        Body body{nullptr, file, offset, length, sent};
        Answer answer;
        const Request request{"PUT", key,  {{"partNumber", std::to_string(i + 1)}, {"uploadId", uploadId}},
                              {},    body, kUnsignedPayload};
        if (!send(request, answer, errors[i])) {
          stop = true;
        } else if (answer.status != 200 || answer.headers.count("etag") == 0) {
          failed("PUT part", key, answer, errors[i]);
          stop = true;
        } else {
          etags[i] = answer.headers["etag"];
        }
      }
    };
    std::vector<std::thread> helpers;
    const unsigned threads = std::clamp<unsigned>(config_.partThreads, 1u, 16u);
    for (unsigned t = 1; t < threads && t < parts; ++t) helpers.emplace_back(work);
    work();
    for (auto& helper : helpers) helper.join();
    // A part that failed leaves the upload for the next run to continue.
    for (const auto& partError : errors) {
      if (partError.empty()) continue;
      error = partError;
      return StoreOutcome::Failed;
    }
    std::string xml = "<CompleteMultipartUpload>";
    for (std::size_t i = 0; i < parts; ++i) {
      xml += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + etags[i] + "</ETag></Part>";
    }
    xml += "</CompleteMultipartUpload>";
    Body body;
    body.text = &xml;
    body.size = static_cast<std::int64_t>(xml.size());
    Answer answer;
    // A form type would let the server read the XML as form fields.
    PutOptions conditionOnly;
    conditionOnly.contentType = "application/xml";
    conditionOnly.condition = options.condition;
    if (!send({"POST", key, {{"uploadId", uploadId}}, objectHeaders(conditionOnly, true), body, ""}, answer, error)) {
      return StoreOutcome::Failed;
    }
    // A completion can fail inside a 200 answer.
    if (answer.status == 200 && !firstXml(answer.body, "Code").empty()) answer.status = 500;
    const StoreOutcome outcome = putOutcome("POST", key, answer, error);
    if (outcome != StoreOutcome::Done) abortUpload(key, uploadId);
    return outcome;
  }

  // The latest unfinished multipart upload of key, and the parts it holds by
  // number; false when there is none or the store does not tell.
  bool unfinishedUpload(const std::string& key, std::string& uploadId, std::map<std::size_t, StoredObject>& parts) {
    const std::string full = fullKey(key);
    Answer answer;
    std::string ignored;
    // As for listings: no "/" in the query.
    if (!send({"GET", "", {{"uploads", ""}, {"prefix", full.substr(0, full.find('/'))}}, {}, {}, ""}, answer,
              ignored) ||
        answer.status != 200) {
      return false;
    }
    for (const auto& upload : xmlValues(answer.body, "Upload", true)) {
      if (firstXml(upload, "Key") == full) uploadId = firstXml(upload, "UploadId");
    }
    if (uploadId.empty()) return false;
    std::string marker;
    for (int page = 0; page < 20; ++page) {
      std::vector<std::pair<std::string, std::string>> query = {{"uploadId", uploadId}};
      if (!marker.empty()) query.emplace_back("part-number-marker", marker);
      if (!send({"GET", key, query, {}, {}, ""}, answer, ignored) || answer.status != 200) break;
      for (const auto& part : xmlValues(answer.body, "Part", true)) {
        const std::string number = firstXml(part, "PartNumber"), length = firstXml(part, "Size");
        if (number.empty() || length.empty()) continue;
        parts[static_cast<std::size_t>(std::stoul(number))] = {firstXml(part, "ETag"), "", std::stoll(length)};
      }
      marker = firstXml(answer.body, "NextPartNumberMarker");
      if (firstXml(answer.body, "IsTruncated") != "true" || marker.empty()) break;
    }
    return true;
  }

  void abortUpload(const std::string& key, const std::string& uploadId) {
    Answer answer;
    std::string ignored;
    (void)send({"DELETE", key, {{"uploadId", uploadId}}, {}, {}, ""}, answer, ignored);
  }

  CURL* takeHandle() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        CURL* handle = idle_.back();
        idle_.pop_back();
        return handle;
      }
    }
    return curl_easy_init();
  }
  void giveBack(CURL* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(handle);
  }

  static bool retryable(const Answer& answer) {
    if (answer.status == 0 || answer.status == 500 || answer.status == 503) return true;
    const std::string code = firstXml(answer.body, "Code");
    return code == "SlowDown" || code == "InternalError" || code == "RequestTimeout";
  }

  // Sends request, again after a pause while the store answers that it is
  // busy or the network fails. False (with error) only when every attempt
  // failed on the network or a file could not be read; a status is an answer.
  bool send(const Request& request, Answer& answer, std::string& error) {
    int pauseMs = config_.firstPauseMs;
    for (int attempt = 1;; ++attempt) {
      answer = Answer{};
      if (!sendOnce(request, answer, error)) return false;
      if (!retryable(answer) || attempt >= config_.attempts) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
      pauseMs *= 2;
    }
    if (answer.status == 0) {
      error = request.method + " " + describe() + "/" + request.key + ": " + answer.failure;
      return false;
    }
    return true;
  }

  bool sendOnce(const Request& request, Answer& answer, std::string& error) {
    const std::string path =
        "/" + (config_.addressing == Addressing::Path ? uriEncode(config_.bucket, false) + "/" : std::string()) +
        uriEncode(request.key.empty() ? std::string() : fullKey(request.key), true);
    const std::string query = canonicalQuery(request.query);
    const std::string url = scheme_ + "://" + host_ + path + (query.empty() ? "" : "?" + query);
    std::string payloadHash = request.payloadHash;
    if (payloadHash.empty()) payloadHash = sha256Hex(request.body.text != nullptr ? *request.body.text : "");
    RequestToSign toSign{request.method, path, request.query, request.headers, payloadHash, amzDateNow()};
    toSign.headers.emplace_back("host", host_);
    toSign.headers.emplace_back("x-amz-date", toSign.amzDate);
    toSign.headers.emplace_back("x-amz-content-sha256", payloadHash);
    if (!config_.credentials.sessionToken.empty()) {
      toSign.headers.emplace_back("x-amz-security-token", config_.credentials.sessionToken);
    }
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : toSign.headers) {
      if (name != "host") headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    headers = curl_slist_append(
        headers, ("Authorization: " + authorizationHeader(config_.credentials, config_.region, "s3", toSign)).c_str());
    headers = curl_slist_append(headers, "Expect:");
    headers = curl_slist_append(headers, "Accept:");

    Upload upload;
    upload.body = &request.body;
    upload.left = request.body.size;
    if (request.body.text == nullptr && !request.body.file.empty()) {
      upload.file = std::fopen(request.body.file.c_str(), "rb");
      if (upload.file == nullptr || ::fseeko(upload.file, request.body.offset, SEEK_SET) != 0) {
        if (upload.file != nullptr) std::fclose(upload.file);
        curl_slist_free_all(headers);
        error = "cannot read " + request.body.file;
        return false;
      }
    }
    CURL* handle = takeHandle();
    curl_easy_reset(handle);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 20L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 60L);
    if (!config_.caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, config_.caFile.c_str());
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "kvpublish");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &answer);
    if (request.method == "HEAD") {
      curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (request.method == "PUT") {
      curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(handle, CURLOPT_READFUNCTION, readBody);
      curl_easy_setopt(handle, CURLOPT_READDATA, &upload);
      curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body.size));
    } else if (request.method == "POST") {
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
      curl_easy_setopt(handle, CURLOPT_READFUNCTION, readBody);
      curl_easy_setopt(handle, CURLOPT_READDATA, &upload);
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size));
    } else if (request.method != "GET") {
      curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    giveBack(handle);
    curl_slist_free_all(headers);
    if (upload.file != nullptr) std::fclose(upload.file);
    if (upload.readFailed) {
      error = "cannot read " + request.body.file;
      return false;
    }
    if (code != CURLE_OK) {
      answer.failure = curl_easy_strerror(code);
      answer.status = 0;
    } else {
      answer.status = status;
    }
    return true;
  }

  const S3Config config_;
  std::string scheme_;
  std::string host_;
  std::mutex mutex_;  // guards idle_
  std::vector<CURL*> idle_;
};

bool isLoopbackHost(const std::string& host) {
  std::string name = host;
  if (name.rfind("[::1]", 0) == 0) return name.size() == 5 || name[5] == ':';
  name = name.substr(0, name.find(':'));
  return name == "127.0.0.1" || name == "localhost";
}

}  // namespace

bool multipartEtag(const std::string& file, std::int64_t size, std::int64_t partSize, std::string& etag,
                   std::string& error) {
  std::string digests;  // the parts' MD5s, raw
  std::int64_t offset = 0;
  do {
    std::string digest;
    if (!md5Of(file, offset, std::min(partSize, size - offset), digest)) {
      error = "cannot read " + file;
      return false;
    }
    digests += digest;
    offset += partSize;
  } while (offset < size);
  if (size <= partSize) {
    etag = "\"" + hexOf(digests) + "\"";
    return true;
  }
  unsigned char whole[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(digests.data(), digests.size(), whole, &length, EVP_md5(), nullptr);
  etag = "\"" + hexOf(std::string(reinterpret_cast<const char*>(whole), length)) + "-" +
         std::to_string(digests.size() / 16) + "\"";
  return true;
}

bool parseStoreUrl(const std::string& url, std::string& bucket, std::string& prefix, std::string& error) {
  constexpr std::string_view kScheme = "s3://";
  if (url.rfind(kScheme, 0) != 0) {
    error = "\"" + url + "\" is not an s3://BUCKET/PREFIX name";
    return false;
  }
  std::string rest = url.substr(kScheme.size());
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  const std::size_t slash = rest.find('/');
  bucket = rest.substr(0, slash);
  prefix = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  const bool bucketOk =
      bucket.size() >= 3 && bucket.size() <= 63 && std::all_of(bucket.begin(), bucket.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
      });
  if (!bucketOk) {
    error = "\"" + bucket + "\" is not a bucket name (3 to 63 of a-z, 0-9, '-' and '.')";
    return false;
  }
  if (prefix.find("//") != std::string::npos || (!prefix.empty() && prefix.front() == '/')) {
    error = "the prefix \"" + prefix + "\" has an empty folder name";
    return false;
  }
  return true;
}

bool checkEndpoint(const std::string& endpoint, std::string& error) {
  const std::size_t scheme = endpoint.find("://");
  std::string host = scheme == std::string::npos ? "" : endpoint.substr(scheme + 3);
  while (!host.empty() && host.back() == '/') host.pop_back();
  if (host.empty() || host.find_first_of("/?#@") != std::string::npos) {
    error = "the endpoint \"" + endpoint + "\" must be https://HOST[:PORT]";
    return false;
  }
  const std::string name = endpoint.substr(0, scheme);
  if (name == "https") return true;
  if (name == "http" && isLoopbackHost(host)) return true;
  error = "the endpoint \"" + endpoint + "\" must use https (plain http only to 127.0.0.1, [::1] or localhost)";
  return false;
}

std::int64_t partSizeFor(std::int64_t size, std::int64_t configured) {
  constexpr std::int64_t kMiB = 1024 * 1024;
  std::int64_t part = std::max(configured, 5 * kMiB);
  if (size > part * kMaxParts) part = ((size + kMaxParts - 1) / kMaxParts + kMiB - 1) / kMiB * kMiB;
  return part;
}

std::unique_ptr<ObjectStore> makeS3Store(const S3Config& config) { return std::make_unique<S3Store>(config); }

}  // namespace kv::tools
