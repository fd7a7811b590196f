#include "sigv4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>

#include "file_hash.h"
#include "updater/endpoints.h"

namespace kv::tools {
namespace {

std::string hmac(std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
       data.size(), out, &length);
  return std::string(reinterpret_cast<const char*>(out), length);
}

std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A header value as signed: outer blanks removed, inner runs of blanks made one space.
std::string trimmedValue(std::string_view value) {
  std::string out;
  bool blank = false;
  for (const char c : value) {
    if (c == ' ' || c == '\t') {
      blank = !out.empty();
      continue;
    }
    if (blank) out.push_back(' ');
    blank = false;
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::string uriEncode(std::string_view text, bool keepSlash) {
  return keepSlash ? updater::percentEncodePath(text) : updater::percentEncodeSegment(text);
}

std::string canonicalQuery(const std::vector<std::pair<std::string, std::string>>& query) {
  std::vector<std::pair<std::string, std::string>> encoded;
  for (const auto& [name, value] : query) encoded.emplace_back(uriEncode(name, false), uriEncode(value, false));
  std::sort(encoded.begin(), encoded.end());
  std::string out;
  for (const auto& [name, value] : encoded) out += (out.empty() ? "" : "&") + name + "=" + value;
  return out;
}

std::string authorizationHeader(const StoreCredentials& credentials, std::string_view region, std::string_view service,
                                const RequestToSign& request) {
  std::vector<std::pair<std::string, std::string>> headers;
  for (const auto& [name, value] : request.headers) headers.emplace_back(lower(name), trimmedValue(value));
  std::sort(headers.begin(), headers.end());
  std::string canonicalHeaders, signedHeaders;
  for (const auto& [name, value] : headers) {
    canonicalHeaders += name + ":" + value + "\n";
    signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
  }
  const std::string canonicalRequest = request.method + "\n" + request.encodedPath + "\n" +
                                       canonicalQuery(request.query) + "\n" + canonicalHeaders + "\n" + signedHeaders +
                                       "\n" + request.payloadHash;
  const std::string day = request.amzDate.substr(0, 8);
  const std::string scope = day + "/" + std::string(region) + "/" + std::string(service) + "/aws4_request";
  const std::string stringToSign =
      "AWS4-HMAC-SHA256\n" + request.amzDate + "\n" + scope + "\n" + sha256Hex(canonicalRequest);
  std::string key = hmac("AWS4" + credentials.secretKey, day);
  key = hmac(key, region);
  key = hmac(key, service);
  key = hmac(key, "aws4_request");
  return "AWS4-HMAC-SHA256 Credential=" + credentials.accessKey + "/" + scope + ", SignedHeaders=" + signedHeaders +
         ", Signature=" + hex(hmac(key, stringToSign));
}

}  // namespace kv::tools
