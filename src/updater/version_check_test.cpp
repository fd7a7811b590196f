#include "updater/version_check.h"

#include <gtest/gtest.h>

#include <cctype>

#include "base/launcher_version.h"
#include "support/fake_http_transport.h"
#include "updater/last_modified.h"

namespace kv::updater {
namespace {

using testing::FakeAnswer;
using testing::FakeHttpTransport;
using testing::FakeRequestKind;

const SiteConfig kSite{"site.test", ""};

TEST(VersionCheck, OnlyADifferentNonEmptyTextMeansANewerLauncher) {
  struct Case {
    std::string body;
    bool arrived;
    bool newer;
  };
  const std::string own(kLauncherVersionText);
  std::string lower = own;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const Case cases[] = {
      {own, true, false},
      {own + "\n", true, true},
      {own + "\r\n", true, true},
      {own + " ", true, true},
      {"\xEF\xBB\xBF" + own, true, true},
      {"KVLauncher Version 0.30", true, true},
      {lower, true, true},
      {"\xFF\xFE", true, true},
      {"<html>404 Not Found</html>", true, true},
      {"", true, false},
      {"KVLauncher Version 0.30", false, false},   // no answer
      {std::string(4097, 'x'), true, false},       // above the limit: a failed request
      {std::string(4096, 'x'), true, true},
  };
  for (const Case& c : cases) {
    FakeHttpTransport transport;
    FakeAnswer answer;
    answer.arrived = c.arrived;
    answer.body = c.body;
    transport.script("https://site.test/download/updater.php", answer);
    EXPECT_EQ(checkLauncherVersion(transport, kSite), c.newer) << c.body.substr(0, 40);
    ASSERT_EQ(transport.requests.size(), 1u);
    EXPECT_EQ(transport.requests[0].kind, FakeRequestKind::Body);
  }
}

TEST(LastModified, StoresTheHeaderOrEmptyAndKeepsItWithoutAnswer) {
  const std::string url = "https://site.test/download/eu/manifest.php";
  ServerRuntime runtime;
  runtime.setRemoteLastModified("before");
  FakeHttpTransport transport;
  FakeAnswer none;
  none.arrived = false;
  FakeAnswer stamp;
  stamp.lastModified = "Mon, 07 Dec 2026 10:00:00 GMT";
  FakeAnswer missing;
  transport.script(url, none);
  transport.script(url, stamp);
  transport.script(url, missing);

  EXPECT_FALSE(fetchLastModified(transport, kSite, "eu", runtime));
  EXPECT_EQ(runtime.remoteLastModified(), "before");
  EXPECT_TRUE(fetchLastModified(transport, kSite, "eu", runtime));
  EXPECT_EQ(runtime.remoteLastModified(), "Mon, 07 Dec 2026 10:00:00 GMT");
  EXPECT_EQ(runtime.remoteLastModified().size(), 29u);
  EXPECT_FALSE(fetchLastModified(transport, kSite, "eu", runtime));
  EXPECT_EQ(runtime.remoteLastModified(), "");
  for (const auto& request : transport.requests) EXPECT_EQ(request.kind, FakeRequestKind::LastModified);
}

}  // namespace
}  // namespace kv::updater
