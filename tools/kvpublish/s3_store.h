#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "object_store.h"
#include "sigv4.h"

namespace kv::tools {

// How a bucket is named in a request: in the path (https://host/bucket/key)
// or in the host name (https://bucket.host/key).
enum class Addressing { Path, VirtualHosted };

// Where and how to reach an S3-compatible store.
struct S3Config {
  std::string endpoint;  // "https://host[:port]"; plain http only to a loopback address
  std::string region = "us-east-1";
  Addressing addressing = Addressing::VirtualHosted;
  std::string bucket;
  std::string prefix;  // "" or "a/b", no leading or trailing "/"
  StoreCredentials credentials;
  std::string caFile;  // trusted certificates; "" takes the system's
  // Files larger than this go as multipart uploads in parts of this size
  // (raised for files over 10,000 parts), so the same bytes always give the
  // same ETag.
  std::int64_t partSize = std::int64_t{8} * 1024 * 1024;
  unsigned partThreads = 4;  // parts of one file sent at once
  int attempts = 5;          // per request, for 500, 503, SlowDown and network faults
  int firstPauseMs = 200;    // doubled after each failed attempt
};

// Reads "s3://BUCKET[/PREFIX]" into bucket and prefix. False with a reason
// when it is not such a name.
[[nodiscard]] bool parseStoreUrl(const std::string& url, std::string& bucket, std::string& prefix, std::string& error);

// Whether endpoint is one the tool may send keys to: https, or plain http
// to 127.0.0.1, [::1] or localhost. False with a reason.
[[nodiscard]] bool checkEndpoint(const std::string& endpoint, std::string& error);

// The part size a file of size bytes is uploaded with (see S3Config).
std::int64_t partSizeFor(std::int64_t size, std::int64_t configured);

// The ETag S3 gives the size bytes of file uploaded in parts of partSize
// (one part when size is not larger): the MD5 of the bytes in quotes, or the
// MD5 of the parts' MD5s followed by "-" and their count. False with the
// reason when the file cannot be read whole.
[[nodiscard]] bool multipartEtag(const std::string& file, std::int64_t size, std::int64_t partSize, std::string& etag,
                                 std::string& error);

// A store that speaks the S3 protocol over libcurl, each request signed
// with Signature Version 4.
std::unique_ptr<ObjectStore> makeS3Store(const S3Config& config);

}  // namespace kv::tools
