// The percent-encoding of manifest paths in download URLs: the result holds
// only unreserved characters, "%XX" with upper-case hex digits and the "/"
// separators, and decodes back to the input byte for byte.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "updater/endpoints.h"

namespace up = kv::updater;

namespace {

bool isUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not what the encoder writes
}

std::string decode(const std::string& encoded, bool slashAllowed) {
  std::string out;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '%') {
      if (i + 2 >= encoded.size()) kv::fuzz::fail("cut escape", encoded);
      const int hi = hexValue(encoded[i + 1]);
      const int lo = hexValue(encoded[i + 2]);
      if (hi < 0 || lo < 0) kv::fuzz::fail("bad escape", encoded);
      const int byte = hi * 16 + lo;
      if (isUnreserved(static_cast<char>(byte))) kv::fuzz::fail("an unreserved byte was escaped", encoded);
      out.push_back(static_cast<char>(byte));
      i += 2;
    } else if (isUnreserved(c) || (slashAllowed && c == '/')) {
      out.push_back(c);
    } else {
      kv::fuzz::fail("a byte left unescaped", encoded);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(kv::fuzz::asText(data, size));
  if (decode(up::percentEncodeSegment(text), false) != text) kv::fuzz::fail("segment does not decode back");
  if (decode(up::percentEncodePath(text), true) != text) kv::fuzz::fail("path does not decode back");
  up::SiteConfig site;
  site.siteHost = "127.0.0.1:9";
  const std::string url = up::fileUrl(site, "eu", text);
  const std::string base = up::downloadBaseUrl(site) + "eu/";
  if (url.compare(0, base.size(), base) != 0) kv::fuzz::fail("file URL leaves the server folder", url);
  if (decode(url.substr(base.size()), true) != text) kv::fuzz::fail("file URL does not decode back", url);
  return 0;
}
