#include "updater/site_transport.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/fake_http_transport.h"
#include "updater/endpoints.h"
#include "updater/last_modified.h"

namespace kv::updater {
namespace {

using testing::FakeAnswer;
using testing::FakeHttpTransport;

// A system client that answers every request with the same marked text and
// records what it was asked.
class RecordingWebRequests final : public platform::WebRequests {
 public:
  explicit RecordingWebRequests(std::vector<std::string>& asked) : asked_(asked) {}
  bool getText(const std::string& url, std::size_t, std::string& body) override {
    asked_.push_back("text " + url);
    body = "system";
    return true;
  }
  bool getBody(const std::string& url, std::size_t, std::string& body) override {
    asked_.push_back("body " + url);
    body = "system";
    return true;
  }
  bool getLastModified(const std::string& url, std::string& lastModified) override {
    asked_.push_back("stamp " + url);
    lastModified = "system";
    return true;
  }

 private:
  std::vector<std::string>& asked_;
};

TEST(SiteTransport, SmallRequestsGoToTheSystemClientAndDownloadsToTheOther) {
  const SiteConfig site{"site.test", ""};
  for (const bool withSystemClient : {true, false}) {
    SCOPED_TRACE(withSystemClient ? "with a system client" : "without");
    std::vector<std::string> asked;
    auto downloads = std::make_unique<FakeHttpTransport>();
    FakeHttpTransport& fake = *downloads;
    FakeAnswer answer;
    answer.body = "own";
    answer.lastModified = "own";
    for (const char* url : {"https://site.test/v", "https://site.test/file"}) fake.script(url, answer);
    fake.script(quickManifestUrl(site, "eu"), answer);
    auto transport = combineTransports(
        withSystemClient ? std::make_unique<RecordingWebRequests>(asked) : nullptr, std::move(downloads));

    const std::string expected = withSystemClient ? "system" : "own";
    std::string body;
    ASSERT_TRUE(transport->getText("https://site.test/v", 100, body));
    EXPECT_EQ(body, expected);
    body.clear();
    ASSERT_TRUE(transport->getBody("https://site.test/v", 100, body));
    EXPECT_EQ(body, expected);
    ServerRuntime runtime;
    EXPECT_TRUE(fetchLastModified(*transport, site, "eu", runtime));
    EXPECT_EQ(runtime.remoteLastModified(), expected);

    std::string downloaded;
    const TransferResult result = transport->download(
        "https://site.test/file",
        [&](const char* data, std::size_t size) {
          downloaded.append(data, size);
          return true;
        },
        {}, 3, {});
    EXPECT_EQ(result.outcome, TransferOutcome::Completed);
    EXPECT_EQ(downloaded, "own");
    EXPECT_EQ(asked.size(), withSystemClient ? 3u : 0u);
  }
}

}  // namespace
}  // namespace kv::updater
