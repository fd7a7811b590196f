#include "store_settings.h"

namespace kv::tools {

bool storeSettings(const PublishArguments& arguments, const EnvironmentReader& environment, S3Config& config,
                   std::string& error) {
  const auto value = [&environment](const char* name) {
    const char* text = environment(name);
    return text != nullptr ? std::string(text) : std::string();
  };
  S3Config out;
  if (!parseStoreUrl(arguments.storeUrl, out.bucket, out.prefix, error)) return false;
  out.credentials = {value("AWS_ACCESS_KEY_ID"), value("AWS_SECRET_ACCESS_KEY"), value("AWS_SESSION_TOKEN")};
  if (out.credentials.accessKey.empty() || out.credentials.secretKey.empty()) {
    error = "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must hold the store's keys";
    return false;
  }
  if (const std::string region = value("AWS_REGION"); !region.empty()) out.region = region;
  out.endpoint = !arguments.endpoint.empty() ? arguments.endpoint : value("AWS_ENDPOINT_URL");
  const bool ownEndpoint = !out.endpoint.empty();
  if (!ownEndpoint) out.endpoint = "https://s3." + out.region + ".amazonaws.com";
  while (out.endpoint.size() > 1 && out.endpoint.back() == '/') out.endpoint.pop_back();
  if (!checkEndpoint(out.endpoint, error)) return false;
  if (arguments.addressing == "path" || (arguments.addressing.empty() && ownEndpoint)) {
    out.addressing = Addressing::Path;
  } else {
    out.addressing = Addressing::VirtualHosted;
    if (out.bucket.find('.') != std::string::npos && out.endpoint.rfind("https://", 0) == 0) {
      error = "the bucket \"" + out.bucket +
              "\" holds '.', which virtual-hosted names over https cannot carry; "
              "use --addressing path";
      return false;
    }
  }
  config = out;
  return true;
}

}  // namespace kv::tools
