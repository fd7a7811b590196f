#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::tools {

// The keys a request to an object store is signed with.
struct StoreCredentials {
  std::string accessKey;
  std::string secretKey;
  std::string sessionToken;  // "" when the keys are not temporary
};

// One request as AWS Signature Version 4 sees it. Header names in any case;
// every header given is signed, so it must hold at least "host" and
// "x-amz-date" (and, for S3, "x-amz-content-sha256").
struct RequestToSign {
  std::string method;
  std::string encodedPath;                                   // the path as sent, already URI-encoded ("/" for none)
  std::vector<std::pair<std::string, std::string>> query;    // raw names and values, in any order
  std::vector<std::pair<std::string, std::string>> headers;  // raw names and values
  std::string payloadHash;                                   // hex SHA-256 of the body, or "UNSIGNED-PAYLOAD"
  std::string amzDate;                                       // "YYYYMMDDTHHMMSSZ", the same as the x-amz-date header
};

// Percent-encodes text as Signature Version 4 wants it: unreserved
// characters (letters, digits, "-", "_", ".", "~") stay, every other byte
// becomes %XX in upper case; "/" stays when keepSlash.
std::string uriEncode(std::string_view text, bool keepSlash);

// The query string in the order it is signed: names and values encoded,
// sorted by name then value, joined with "&" ("name=" for an empty value).
std::string canonicalQuery(const std::vector<std::pair<std::string, std::string>>& query);

// The value of the Authorization header for request, signed with the keys
// for region and service ("s3"). Safe to call from any thread.
std::string authorizationHeader(const StoreCredentials& credentials, std::string_view region, std::string_view service,
                                const RequestToSign& request);

}  // namespace kv::tools
