// The launcher-version check on any answer of the site: no crash on any
// bytes, and a newer version is reported exactly for a non-empty answer of
// at most the small-body limit that differs from the launcher's own text.
#include <cstdint>
#include <string>

#include "base/launcher_version.h"
#include "fuzz_support.h"
#include "support/fake_http_transport.h"
#include "updater/endpoints.h"
#include "updater/version_check.h"

namespace up = kv::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(kv::fuzz::asText(data, size));
  up::SiteConfig site;
  site.siteHost = "127.0.0.1:9";
  up::testing::FakeHttpTransport transport;
  up::testing::FakeAnswer answer;
  answer.body = body;
  transport.script(up::versionUrl(site), answer);

  const bool newer = up::checkLauncherVersion(transport, site);
  const bool expected = !body.empty() && body.size() <= up::kVersionBodyLimit && body != kv::kLauncherVersionText;
  if (newer != expected) kv::fuzz::fail("wrong version verdict", body);
  if (transport.requests.size() != 1) kv::fuzz::fail("the check did not make exactly one request");
  return 0;
}
