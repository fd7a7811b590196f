#include "updater/endpoints.h"

namespace kv::updater {

std::string downloadBaseUrl(const SiteConfig& site) {
  return "https://" + site.siteHost + "/download/";
}

std::string versionUrl(const SiteConfig& site) {
  return downloadBaseUrl(site) + std::string(kVersionEndpoint);
}

std::string quickManifestUrl(const SiteConfig& site, std::string_view serverFolder) {
  return downloadBaseUrl(site) + std::string(serverFolder) + "/" + std::string(kQuickManifestEndpoint);
}

std::string fullManifestUrl(const SiteConfig& site, std::string_view serverFolder) {
  return downloadBaseUrl(site) + std::string(serverFolder) + "/" + std::string(kFullManifestEndpoint);
}

std::string fileUrl(const SiteConfig& site, std::string_view serverFolder, std::string_view manifestPath) {
  return downloadBaseUrl(site) + std::string(serverFolder) + "/" + percentEncodePath(manifestPath);
}

std::string percentEncodeSegment(std::string_view segment) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(segment.size());
  for (const char c : segment) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

std::string percentEncodePath(std::string_view path) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    out += percentEncodeSegment(path.substr(start, slash == std::string_view::npos ? std::string_view::npos
                                                                                   : slash - start));
    if (slash == std::string_view::npos) break;
    out.push_back('/');
    start = slash + 1;
  }
  return out;
}

}  // namespace kv::updater
