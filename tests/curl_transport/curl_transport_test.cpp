// The updater's HTTP client over real HTTPS: agents, success rules, limits,
// header handling, redirects and certificate checks.
#include <gtest/gtest.h>

#include <string>

#include "fixtures/https_servers.h"
#include "fixtures/test_certificates.h"
#include "support/temp_dir.h"
#include "updater/curl_transport.h"
#include "updater/download_log.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

using kv::test::ScriptedServer;
using kv::test::ServerCertificate;
using kv::test::TempDir;
using kv::test::writeFile;

class CurlTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(site_ / "download/updater.php", "KVLauncher Version 0.29");
    writeFile(site_ / "download/eu/manifest.php", "[]");
    writeFile(site_ / "download/eu/da ta/x y.pak", "spaced");
  }
  // Starts the scripted server with rules; false stops the test.
  void start(const std::string& rules, ServerCertificate certificate = ServerCertificate::Valid,
             bool onlyOldTls = false) {
    std::string error;
    ASSERT_TRUE(server_.start(site_.path(), state_ / "server", certs_, error, certificate, onlyOldTls)) << error;
    server_.setRules(rules);
    base_ = "https://" + server_.hostPort();
  }
  std::unique_ptr<HttpTransport> transport(bool trustTestCa = true) {
    CurlTransportOptions options;
    if (trustTestCa) options.caFile = certs_.caFile;
    options.stallSeconds = 5;
    return makeCurlTransport(options);
  }
  // Downloads url (or the part range asks for) into a string; the result
  // and the body.
  std::pair<TransferResult, std::string> fetch(HttpTransport& http, const std::string& url,
                                               std::int64_t maxBytes = kMaxManifestFileSize,
                                               const TransferProgress& progress = {},
                                               const DownloadRange& range = {}) {
    std::string body;
    const ByteSink sink = [&body](const char* data, std::size_t size) {
      body.append(data, size);
      return true;
    };
    const TransferResult result = http.download(url, sink, progress, maxBytes, range);
    return {result, body};
  }

  const kv::test::TestCertificates& certs_ = kv::test::testCertificates();
  TempDir site_;
  TempDir state_;
  ScriptedServer server_;
  std::string base_;
};

TEST_F(CurlTransportTest, SmallRequestsTakeAnyStatusAndCarryTheirAgents) {
  start(R"({"/missing.php": {"status": 404, "body": "<html>gone</html>"}})");
  auto http = transport();
  std::string text = "untouched";
  ASSERT_TRUE(http->getText(base_ + "/download/eu/manifest.php", kManifestBodyLimit, text));
  EXPECT_EQ(text, "[]");
  ASSERT_TRUE(http->getText(base_ + "/missing.php", kManifestBodyLimit, text));
  EXPECT_EQ(text, "<html>gone</html>");
  std::string body;
  ASSERT_TRUE(http->getBody(base_ + "/download/updater.php", kVersionBodyLimit, body));
  EXPECT_EQ(body, "KVLauncher Version 0.29");

  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].agent, "KVLauncher");
  EXPECT_EQ(seen[1].agent, "KVLauncher");
  EXPECT_EQ(seen[2].agent, "KVLauncher/1.0");
  for (const auto& request : seen) EXPECT_EQ(request.method, "GET");
  // The manifest texts are always asked of the server, never of a cache.
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(seen[i].cacheControl, "no-cache") << seen[i].path;
    EXPECT_EQ(seen[i].pragma, "no-cache") << seen[i].path;
  }
}

// A download of the rest of a file sends Range and If-Range, and takes only
// a 206 that continues exactly there, with no more than the rest; a 200 is
// the whole file, told as such before its first byte.
TEST_F(CurlTransportTest, RangeDownloadsTakeOnlyTheRestThatFits) {
  const std::string rule = R"({"body": "0123456789", "etag": "\"v1\"")";
  start(R"({"/fits": )" + rule + R"(, "ranges": true},
    "/whole": )" + rule + R"(},
    "/elsewhere": )" + rule + R"(, "status": 206, "headers": {"Content-Range": "bytes 3-9/10"}},
    "/unasked": )" + rule + R"(, "status": 206, "headers": {"Content-Range": "bytes 0-9/10"}},
    "/long": {"status": 206, "body": "456789xxxx", "headers": {"Content-Range": "bytes 4-9/10"}}
  })");
  struct Case {
    std::string path;
    std::int64_t from;
    TransferOutcome outcome;
    long status;
    std::string body;
    std::string told;  // what bodyStart heard: "rest v", "whole v" or ""
    bool refused = false;
    std::int64_t to = -1;  // a slice: its last byte
  };
  const Case cases[] = {
      {"/fits", 4, TransferOutcome::Completed, 206, "456789", "rest \"v1\""},
      {"/whole", 4, TransferOutcome::Completed, 200, "0123456789", "whole \"v1\""},
      {"/elsewhere", 4, TransferOutcome::Failed, 206, "", "", true},
      {"/unasked", 0, TransferOutcome::Completed, 206, "0123456789", ""},  // an error page
      {"/long", 4, TransferOutcome::Failed, 206, "", "rest "},  // longer than the rest
      // Slices: only the 206 of exactly the bytes asked for.
      {"/fits", 2, TransferOutcome::Completed, 206, "2345", "rest \"v1\"", false, 5},
      {"/fits", 0, TransferOutcome::Completed, 206, "01", "rest \"v1\"", false, 1},
      {"/whole", 2, TransferOutcome::Failed, 200, "", "", true, 5},  // a site that ignores ranges
      {"/elsewhere", 3, TransferOutcome::Failed, 206, "", "", true, 5},
      {"/long", 4, TransferOutcome::Failed, 206, "", "", true, 6},
  };
  auto http = transport();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    server_.clearRequests();
    std::string told;
    DownloadRange range;
    range.from = c.from;
    range.to = c.to;
    range.ifRange = range.asksRange() ? "\"v1\"" : "";
    range.bodyStart = [&told](bool rest, const std::string& validator) {
      told = (rest ? "rest " : "whole ") + validator;
      return true;
    };
    const auto [result, body] = fetch(*http, base_ + c.path, 10, {}, range);
    EXPECT_EQ(result.outcome, c.outcome) << result.errorText;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.rangeRefused, c.refused);
    EXPECT_EQ(body, c.body);
    EXPECT_EQ(told, c.told);
    const auto seen = server_.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].range, range.asksRange() ? "bytes=" + std::to_string(c.from) + "-" + (c.to >= 0 ? std::to_string(c.to) : "") : "");
    EXPECT_EQ(seen[0].ifRange, range.ifRange);
  }
}

TEST_F(CurlTransportTest, BrokenOrOversizedSmallAnswersAreFailures) {
  start(R"({
    "/cut": {"body": "[{\"path\":\"a\",\"hash\":\"h\"}]", "cutAt": 5},
    "/big": {"endless": true, "endlessCap": 104857600},
    "/reset": {"reset": true}
  })");
  auto http = transport();
  const char* paths[] = {"/cut", "/big", "/reset", "/nowhere-host"};
  for (const char* path : paths) {
    std::string body = "untouched";
    const std::string url = std::string(path) == "/nowhere-host" ? "https://nowhere.invalid/x" : base_ + path;
    EXPECT_FALSE(http->getText(url, 4096, body)) << path;
    EXPECT_EQ(body, "untouched") << path;
  }
  // The transport is still usable afterwards.
  std::string body;
  EXPECT_TRUE(http->getBody(base_ + "/download/updater.php", kVersionBodyLimit, body));
}

// What the log gets for each small request: the status of an answer that is
// not 200, or libcurl's reason when no answer arrived.
TEST_F(CurlTransportTest, SmallRequestsTellWhyTheyFellShort) {
  start(R"({"/gone": {"status": 404, "body": "gone"}, "/big": {"endless": true, "endlessCap": 104857600}})");
  struct Case {
    const char* label;
    std::string url;
    std::string caFile;  // "" = the test CA
    std::string problem;
  };
  const Case cases[] = {
      {"answered", base_ + "/download/updater.php", "", ""},
      {"error page", base_ + "/gone", "", "HTTP status code: 404"},
      {"too long", base_ + "/big", "", "curl_easy_perform error: Maximum file size exceeded"},
      {"unknown host", "https://nowhere.invalid/x", "", "curl_easy_perform error: Couldn't resolve host name"},
      {"site down", "https://127.0.0.1:1/x", "", "curl_easy_perform error: Couldn't connect to server"},
      {"untrusted certificate", base_ + "/download/updater.php", "system",
       "curl_easy_perform error: SSL peer certificate or SSH remote key was not OK"},
      {"missing CA file", base_ + "/download/updater.php", state_ / "none.pem",
       "curl_easy_perform error: Problem with the SSL CA cert (path? access rights?)"},
  };
  for (const Case& c : cases) {
    CurlTransportOptions options;
    options.caFile = c.caFile.empty() ? certs_.caFile : c.caFile == "system" ? "" : c.caFile;
    auto http = makeCurlTransport(options);
    std::string body;
    std::string stamp;
    (void)http->getText(c.url, 4096, body);
    EXPECT_EQ(smallRequestProblem(http->lastSmallRequest()), c.problem) << c.label << " (text)";
    (void)http->getBody(c.url, 4096, body);
    EXPECT_EQ(smallRequestProblem(http->lastSmallRequest()), c.problem) << c.label << " (body)";
    if (c.problem.find("Maximum") != std::string::npos) continue;  // headers only: no limit
    (void)http->getLastModified(c.url, stamp);
    EXPECT_EQ(smallRequestProblem(http->lastSmallRequest()), c.problem) << c.label << " (stamp)";
  }
}

TEST_F(CurlTransportTest, LastModifiedIsTakenFromTheFinalResponseOnly) {
  start(R"({
    "/lm/29": {"body": "x", "lastModified": "Mon, 07 Dec 2026 10:00:00 GMT"},
    "/lm/odd": {"body": "x", "lastModified": "build-42  with  blanks"},
    "/lm/none": {"body": "x", "lastModified": null},
    "/lm/two": {"body": "x", "lastModifiedList": ["first", "second"]},
    "/lm/404": {"status": 404, "body": "gone", "lastModified": "on the error page"},
    "/lm/moved": {"redirect": "{base}/lm/29", "lastModified": "of the redirect"},
    "/lm/endless": {"endless": true, "lastModified": "streaming"}
  })");
  auto http = transport();
  struct Case {
    const char* path;
    std::string value;
  };
  const Case cases[] = {
      {"/lm/29", "Mon, 07 Dec 2026 10:00:00 GMT"},
      {"/lm/odd", "build-42  with  blanks"},
      {"/lm/none", ""},
      {"/lm/two", "first"},
      {"/lm/404", "on the error page"},
      {"/lm/moved", "Mon, 07 Dec 2026 10:00:00 GMT"},
      {"/lm/endless", "streaming"},
  };
  for (const Case& c : cases) {
    std::string value = "untouched";
    ASSERT_TRUE(http->getLastModified(base_ + c.path, value)) << c.path;
    EXPECT_EQ(value, c.value) << c.path;
  }
  std::string value = "untouched";
  EXPECT_FALSE(http->getLastModified("https://nowhere.invalid/x", value));
  EXPECT_EQ(value, "untouched");
}

TEST_F(CurlTransportTest, DownloadsReportStatusBytesAndProgress) {
  start(R"({"/download/eu/gone.pak": {"status": 404, "body": "<html>404</html>"}})");
  auto http = transport();
  std::int64_t lastProgress = -1;
  auto [ok, body] = fetch(*http, base_ + "/download/eu/da%20ta/x%20y.pak", 6, [&](std::int64_t received) {
    lastProgress = received;
    return true;
  });
  EXPECT_EQ(ok.outcome, TransferOutcome::Completed);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(body, "spaced");
  EXPECT_EQ(lastProgress, 6);

  // An error page is not limited by the file's size and is handed over.
  auto [gone, page] = fetch(*http, base_ + "/download/eu/gone.pak", 3);
  EXPECT_EQ(gone.outcome, TransferOutcome::Completed);
  EXPECT_EQ(gone.status, 404);
  EXPECT_EQ(page, "<html>404</html>");
  EXPECT_EQ(server_.requests().back().agent, "KVLauncher/1.0");
}

TEST_F(CurlTransportTest, DownloadFailuresAndLimits) {
  start(R"({
    "/endless": {"endless": true},
    "/endless-error": {"status": 500, "endless": true},
    "/long": {"body": "0123456789", "contentLength": 50000000, "cutAt": 10},
    "/cut": {"body": "0123456789", "cutAt": 4},
    "/stall": {"body": "late", "stallMs": 60000}
  })");
  auto http = transport();
  {
    auto [result, body] = fetch(*http, base_ + "/endless", 1000);
    EXPECT_EQ(result.outcome, TransferOutcome::Failed);
    EXPECT_EQ(result.errorText, "Maximum file size exceeded");
    EXPECT_LE(body.size(), 1000u);
  }
  {
    // A size of 0 allows no body at all.
    auto [result, body] = fetch(*http, base_ + "/endless", 0);
    EXPECT_EQ(result.outcome, TransferOutcome::Failed);
    EXPECT_EQ(result.errorText, "Maximum file size exceeded");
    EXPECT_TRUE(body.empty());
  }
  {
    // An endless error page ends after its first kErrorPageLimit bytes and
    // keeps its status.
    auto [result, body] = fetch(*http, base_ + "/endless-error");
    EXPECT_EQ(result.outcome, TransferOutcome::Completed);
    EXPECT_EQ(result.status, 500);
    EXPECT_EQ(body.size(), static_cast<std::size_t>(kErrorPageLimit));
  }
  {
    auto [result, body] = fetch(*http, base_ + "/cut");
    EXPECT_EQ(result.outcome, TransferOutcome::Failed);
    EXPECT_EQ(result.errorText, "Transferred a partial file");
  }
  {
    auto [result, body] = fetch(*http, base_ + "/stall");
    EXPECT_EQ(result.outcome, TransferOutcome::Failed) << "a stalled transfer must give up";
  }
  {
    server_.clearRequests();
    auto [result, body] = fetch(*http, base_ + "/loop/0");
    EXPECT_EQ(result.outcome, TransferOutcome::Failed);
    EXPECT_EQ(result.errorText, "Number of redirects hit maximum amount");
    EXPECT_EQ(server_.requests().size(), 11u);
  }
  {
    auto [result, body] = fetch(*http, base_ + "/endless", kMaxManifestFileSize, [](std::int64_t received) {
      return received < 100000;
    });
    EXPECT_EQ(result.outcome, TransferOutcome::Aborted);
  }
}

TEST_F(CurlTransportTest, RedirectsToOtherHttpsUrlsAreFollowedButNeverToPlainHttp) {
  start(R"({
    "/moved": {"redirect": "{base}/download/updater.php"},
    "/downgrade": {"redirect": "http://127.0.0.1:9/x"}
  })");
  auto http = transport();
  auto [moved, body] = fetch(*http, base_ + "/moved");
  EXPECT_EQ(moved.outcome, TransferOutcome::Completed);
  EXPECT_EQ(body, "KVLauncher Version 0.29");
  auto [downgrade, nothing] = fetch(*http, base_ + "/downgrade");
  EXPECT_EQ(downgrade.outcome, TransferOutcome::Failed);
}

TEST_F(CurlTransportTest, CertificatesAreAlwaysVerified) {
  struct Case {
    ServerCertificate certificate;
    bool onlyOldTls;
    bool trustTestCa;
    bool works;
  };
  const Case cases[] = {
      {ServerCertificate::Valid, false, true, true},
      {ServerCertificate::Valid, false, false, false},  // the test CA is not trusted by default
      {ServerCertificate::WrongName, false, true, false},
      {ServerCertificate::Expired, false, true, false},
      {ServerCertificate::Foreign, false, true, false},
      {ServerCertificate::Valid, true, true, false},  // TLS 1.1 only
  };
  int n = 0;
  for (const Case& c : cases) {
    ScriptedServer server;
    std::string error;
    const std::string stateFolder = state_ / ("tls" + std::to_string(++n));
    ASSERT_TRUE(server.start(site_.path(), stateFolder, certs_, error, c.certificate, c.onlyOldTls)) << error;
    const std::string base = "https://" + server.hostPort();
    auto http = transport(c.trustTestCa);
    std::string body;
    std::string stamp;
    EXPECT_EQ(http->getText(base + "/download/updater.php", 4096, body), c.works);
    EXPECT_EQ(http->getBody(base + "/download/updater.php", 4096, body), c.works);
    EXPECT_EQ(http->getLastModified(base + "/download/eu/manifest.php", stamp), c.works);
    auto [result, content] = fetch(*http, base + "/download/updater.php");
    EXPECT_EQ(result.outcome == TransferOutcome::Completed, c.works);
    if (!c.works) {
      EXPECT_TRUE(server.requests().empty()) << "a request got past the handshake";
    }
  }
}

}  // namespace
}  // namespace kv::updater
