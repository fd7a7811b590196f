// The system's web requests against a scripted local server, run as a
// Windows program (under Wine here). The runner starts the servers and
// names them in the environment:
//   KV_WEB_TLS_BASE    https://localhost:<port>, signed by a trusted test CA
//   KV_WEB_TLS_STATE   that server's state folder (rules.json, requests.log)
//   KV_WEB_PLAIN_BASE  http://127.0.0.1:<port>
//   KV_WEB_CLOSED_BASE a base URL where nothing listens
//   KV_WEB_UNTRUSTED_BASE  https://localhost:<port> with a certificate of a
//                      CA the system does not trust
// The TLS server's site root holds "file.txt" with "site file\n".
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/web_requests.h"

namespace kv::platform {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

class WebRequestsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Each path has its own rule; the server reads the file for every request.
    std::ofstream rules(env("KV_WEB_TLS_STATE") + "/rules.json", std::ios::binary | std::ios::trunc);
    rules << R"({
      "/missing": {"status": 404, "body": "<html>not here</html>",
                   "lastModified": "Tue, 01 Dec 2026 10:00:00 GMT"},
      "/failing": {"status": 500, "body": "oops", "lastModified": null},
      "/stamp": {"body": "x", "lastModified": "Wed, 02 Dec 2026 08:09:10 GMT"},
      "/no-stamp": {"body": "x", "lastModified": null},
      "/long-stamp": {"body": "x", "lastModified": ")"
          << std::string(300, 'a') << R"("},
      "/big": {"body": ")" << std::string(10000, 'b') << R"("},
      "/cut": {"body": ")" << std::string(50000, 'c') << R"(", "cutAt": 1000},
      "/moved": {"redirect": "/file.txt"},
      "/downgrade": {"redirect": ")" << env("KV_WEB_PLAIN_BASE") << R"(/file.txt"},
      "/agent-text": {"body": "t"},
      "/agent-body": {"body": "b"},
      "/agent-stamp": {"body": "s"}
    })";
  }

  void SetUp() override {
    tls_ = env("KV_WEB_TLS_BASE");
    plain_ = env("KV_WEB_PLAIN_BASE");
    closed_ = env("KV_WEB_CLOSED_BASE");
    untrusted_ = env("KV_WEB_UNTRUSTED_BASE");
    if (tls_.empty() || plain_.empty() || closed_.empty() || untrusted_.empty())
      GTEST_SKIP() << "no test servers named";
    requests_ = makeSystemWebRequests();
    ASSERT_NE(requests_, nullptr) << "Windows has its own HTTP clients";
  }

  // The logged requests of the TLS server for path.
  std::vector<std::string> logged(const std::string& path) const {
    std::ifstream log(env("KV_WEB_TLS_STATE") + "/requests.log");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(log, line)) {
      if (line.find("\"path\": \"" + path + "\"") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  std::string tls_, plain_, closed_, untrusted_;
  std::unique_ptr<WebRequests> requests_;
};

TEST_F(WebRequestsTest, EveryAnswerCountsWhateverItsStatus) {
  struct Case {
    std::string path;
    std::string body;
    long status;  // told by lastOutcome
  };
  const Case cases[] = {
      {"/file.txt", "site file\n", 200},
      {"/moved", "site file\n", 200},  // redirects are followed
      {"/missing", "<html>not here</html>", 404},
      {"/failing", "oops", 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string text = "before";
    ASSERT_TRUE(requests_->getText(tls_ + c.path, 1 << 20, text));
    EXPECT_EQ(text, c.body);
    EXPECT_TRUE(requests_->lastOutcome().arrived);
    EXPECT_EQ(requests_->lastOutcome().status, c.status);
    std::string body = "before";
    ASSERT_TRUE(requests_->getBody(tls_ + c.path, 1 << 20, body));
    EXPECT_EQ(body, c.body);
    EXPECT_TRUE(requests_->lastOutcome().arrived);
    EXPECT_EQ(requests_->lastOutcome().status, c.status);
  }
}

TEST_F(WebRequestsTest, LastModifiedIsTakenAsSentAndMissingMeansEmpty) {
  struct Case {
    std::string path;
    std::string stamp;
  };
  const Case cases[] = {
      {"/stamp", "Wed, 02 Dec 2026 08:09:10 GMT"},  // 29 characters
      {"/missing", "Tue, 01 Dec 2026 10:00:00 GMT"},  // an error page's stamp counts too
      {"/no-stamp", ""},
      {"/failing", ""},
      {"/long-stamp", ""},  // longer than the value buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string stamp = "before";
    ASSERT_TRUE(requests_->getLastModified(tls_ + c.path, stamp));
    EXPECT_EQ(stamp, c.stamp);
  }
}

TEST_F(WebRequestsTest, PlainHttpIsAskedWithoutTls) {
  // The plain server serves the same site folder.
  std::string body;
  ASSERT_TRUE(requests_->getBody(plain_ + "/file.txt", 1 << 20, body));
  EXPECT_EQ(body, "site file\n");
  std::string text;
  ASSERT_TRUE(requests_->getText(plain_ + "/file.txt", 1 << 20, text));
  EXPECT_EQ(text, "site file\n");
}

TEST_F(WebRequestsTest, OversizedBrokenOrMissingAnswersLeaveTheCallersTextAlone) {
  struct Case {
    std::string url;
    std::size_t limit;
  };
  const Case cases[] = {
      {tls_ + "/big", 9999},  // one byte too many
      {tls_ + "/cut", 1 << 20},
      {closed_ + "/file.txt", 1 << 20},
      {tls_ + "/downgrade", 1 << 20},  // https never hands over to plain http
      {untrusted_ + "/file.txt", 1 << 20},  // the certificate is checked
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string text = "keep";
    EXPECT_FALSE(requests_->getText(c.url, c.limit, text));
    EXPECT_EQ(text, "keep");
    // The reason goes to the log.
    EXPECT_FALSE(requests_->lastOutcome().arrived);
    EXPECT_NE(requests_->lastOutcome().failure, "");
    std::string body = "keep";
    EXPECT_FALSE(requests_->getBody(c.url, c.limit, body));
    EXPECT_EQ(body, "keep");
    EXPECT_FALSE(requests_->lastOutcome().arrived);
    EXPECT_NE(requests_->lastOutcome().failure, "");
  }
  for (const std::string& url : {closed_ + "/file.txt", untrusted_ + "/file.txt", tls_ + "/downgrade"}) {
    std::string stamp = "keep";
    EXPECT_FALSE(requests_->getLastModified(url, stamp)) << url;
    EXPECT_EQ(stamp, "keep");
    EXPECT_NE(requests_->lastOutcome().failure, "") << url;
  }

  // Exactly at the limit is whole.
  std::string body;
  ASSERT_TRUE(requests_->getBody(tls_ + "/big", 10000, body));
  EXPECT_EQ(body.size(), 10000u);
}

TEST_F(WebRequestsTest, EachRequestCarriesItsAgent) {
  std::string ignored;
  ASSERT_TRUE(requests_->getText(tls_ + "/agent-text", 100, ignored));
  ASSERT_TRUE(requests_->getBody(tls_ + "/agent-body", 100, ignored));
  ASSERT_TRUE(requests_->getLastModified(tls_ + "/agent-stamp", ignored));
  const struct {
    std::string path;
    std::string agent;
  } cases[] = {
      {"/agent-text", "KVLauncher"},
      {"/agent-body", "KVLauncher/1.0"},
      {"/agent-stamp", "KVLauncher/1.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::vector<std::string> lines = logged(c.path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"method\": \"GET\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"agent\": \"" + c.agent + "\""), std::string::npos) << lines[0];
  }
}

}  // namespace
}  // namespace kv::platform
