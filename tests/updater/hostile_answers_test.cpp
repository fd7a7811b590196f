// Update runs against a server that answers badly on purpose: broken or
// hostile manifests, huge and endless bodies, redirects, TLS failures, error
// statuses, odd Last-Modified and version texts, awkward file names.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/launcher_version.h"
#include "update_harness.h"
#include "updater/endpoints.h"
#include "updater/manifest.h"

namespace kv::test {
namespace {

using Events = std::vector<std::string>;

const Events kInvalidRemote = {"STATUS Checking updates...", "ERROR Invalid remote manifest format"};
const Events kManifestFailed = {"STATUS Checking updates...", "ERROR Failed to download manifest"};
const Events kPreparing = {"ERROR The updater is being prepared for download"};
const Events kNewLauncher = {"ERROR Download the new version of KVLauncher"};
const Events kInstalled = {"STATUS Checking updates...", "READY"};

std::string jsonString(const std::string& text) { return nlohmann::json(text).dump(); }

// A rule body given as hexadecimal bytes, for bodies that are not UTF-8.
std::string hexBody(const std::string& bytes) {
  std::string hex;
  char buffer[3];
  for (unsigned char c : bytes) {
    std::snprintf(buffer, sizeof buffer, "%02x", c);
    hex += buffer;
  }
  return R"("bodyHex": ")" + hex + "\"";
}

std::size_t utf8Length(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

class HostileAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(sandbox_.client(1) + "/a.pak", "hello");
    writeFile(sandbox_.client(1) + "/data/b.pak", "world!");
    sandbox_.publish(1);
    std::string error;
    ASSERT_TRUE(server_.start(sandbox_.site(), sandbox_.state("scripted"), testCertificates(), error)) << error;
  }

  // A fresh installation folder whose server folder already holds files
  // the run must not lose.
  std::string seededInstall(const std::string& name) {
    const std::string base = sandbox_.install() + "/" + name;
    writeFile(base + "/eu/data/keep.pak", "keep");
    writeFile(base + "/eu/config/config.kvml", "enableAudio: true\n");
    return base;
  }

  RecordedRun run(const std::string& base, const std::string& host = {}, const RunOptions& options = {}) {
    return runUpdateOnce(host.empty() ? server_.hostPort() : host, testCertificates().caFile, base, options);
  }

  std::vector<std::string> fileRequests() const {
    std::vector<std::string> out;
    for (const auto& path : requestPaths(server_.requests())) {
      if (path != "/download/updater.php" && path.find("/manifest.") == std::string::npos) out.push_back(path);
    }
    return out;
  }

  // Serves body as the full manifest and expects the run to refuse it
  // without touching anything.
  void expectRefusedManifest(const std::string& name, const std::string& rule, const Events& expected,
                             const std::string& logged = {}) {
    SCOPED_TRACE(name);
    const std::string base = seededInstall(name);
    server_.setRules(R"({"/download/eu/manifest.json": )" + rule + "}");
    server_.clearRequests();
    const auto before = snapshotTree(base);
    const auto outside = sandbox_.snapshotOutside();
    const RecordedRun r = run(base);
    EXPECT_EQ(r.events(), expected);
    // Only the log tells of it: a manifest that did not arrive whole or came
    // with another status than 200 leaves its reason there.
    auto after = snapshotTree(base);
    const std::string log = after[std::string(kDownloadLogName)];
    after.erase(std::string(kDownloadLogName));
    EXPECT_EQ(after, before);
    if (logged.empty()) {
      EXPECT_EQ(log, "") << log;
    } else {
      EXPECT_NE(log.find("] " + logged + "\n"), std::string::npos) << log;
    }
    EXPECT_EQ(sandbox_.snapshotOutside(), outside);
    EXPECT_TRUE(fileRequests().empty());
  }

  Sandbox sandbox_;
  ScriptedServer server_;
};

// Bodies that are not JSON, or JSON of the wrong shape: the whole manifest
// is refused and nothing is fetched, deleted or written.
TEST_F(HostileAnswers, BrokenRemoteManifestsAreRefused) {
  const std::vector<std::pair<std::string, std::string>> bodies = {
      {"404 page", "<html><body>404 Not Found</body></html>"},
      {"trailing comma", "[1,]"},
      {"comment", "/*c*/[]"},
      {"truncated json", "[{\"path\":\"a.pak\""},
      {"object", "{\"path\":\"a.pak\",\"hash\":\"h\"}"},
      {"numbers", "[1,2]"},
      {"null element", "[null]"},
      {"numeric path", "[{\"path\":5,\"hash\":\"h\"}]"},
      {"null hash", "[{\"path\":\"a.pak\",\"hash\":null}]"},
      {"missing hash", "[{\"path\":\"a.pak\"}]"},
      {"text size", "[{\"path\":\"a.pak\",\"hash\":\"h\",\"size\":\"10\"}]"},
      {"negative size", "[{\"path\":\"a.pak\",\"hash\":\"h\",\"size\":-1}]"},
      {"huge float size", "[{\"path\":\"a.pak\",\"hash\":\"h\",\"size\":1e30}]"},
      {"fraction size", "[{\"path\":\"a.pak\",\"hash\":\"h\",\"size\":1.5}]"},
      {"sizes that overflow", "[{\"path\":\"a.pak\",\"hash\":\"h\",\"size\":9223372036854775807},"
                              "{\"path\":\"b.pak\",\"hash\":\"h\",\"size\":9223372036854775807}]"},
      {"invalid utf-8", "[{\"path\":\"\xff\xfe.pak\",\"hash\":\"h\",\"size\":1}]"},
  };
  for (const auto& [name, body] : bodies) {
    expectRefusedManifest(name, R"({"status": 200, )" + hexBody(body) + "}", kInvalidRemote);
  }
  expectRefusedManifest("server error page", R"({"status": 500, "body": "<h1>500</h1>"})", kInvalidRemote,
                        "HTTP status code: 500");
}

// Paths that would act outside the server folder, on the launcher's own
// files, or that Windows cannot represent: the whole manifest is refused.
TEST_F(HostileAnswers, UnsafeManifestPathsAreRefused) {
  const std::vector<std::string> paths = {
      "/etc/x", "C:/x", "C:x", "\\\\srv\\share\\x", "a\\b.pak", std::string("data/x.dll\0.txt", 15),
      "data/x\x07.pak", "data/CON.pak", "x.pak:stream", "x.pak.", "", ".", "data/", "data/..", "../outside/canary.bin",
      "data//b.pak", "manifest.json", "manifest.meta", "config/config.kvml", "config_backup/x", "CONFIG/x",
      "Manifest.JSON"};
  for (const auto& path : paths) {
    const std::string body = R"([{"path":"a.pak","hash":"h","size":5},{"path":)" + nlohmann::json(path).dump() +
                             R"(,"hash":"h","size":1}])";
    expectRefusedManifest("path " + nlohmann::json(path).dump(),
                          R"({"body": )" + jsonString(body) + "}", kInvalidRemote);
  }
}

// A manifest entry that names an existing folder is never deleted.
TEST_F(HostileAnswers, EntryNamingAFolderStopsBeforeDeletingIt) {
  const std::string base = seededInstall("folder");
  server_.setRules(R"({"/download/eu/manifest.json": {"body": "[{\"path\":\"data\",\"hash\":\"h\",\"size\":1}]"}})");
  const RecordedRun r = run(base);
  EXPECT_EQ(r.events(), (Events{"STATUS Checking updates...", "ERROR Failed to remove existing file: data"}));
  EXPECT_EQ(readFile(base + "/eu/data/keep.pak"), "keep");
}

TEST_F(HostileAnswers, CutAndEndlessManifestsFail) {
  const std::string published = readFile(sandbox_.site() + "/download/eu/manifest.json");
  expectRefusedManifest("cut", R"({"body": )" + jsonString(published) + R"(, "cutAt": 10})", kManifestFailed,
                        "curl_easy_perform error: Transferred a partial file");
  expectRefusedManifest("endless", R"({"endless": true, "endlessByte": " "})", kManifestFailed,
                        "curl_easy_perform error: Maximum file size exceeded");

  // An endless quick-form manifest (whose headers carry a stamp).
  const std::string base = seededInstall("endless-quick");
  server_.setRules(R"({"/download/eu/manifest.php": {"endless": true, "lastModified": "stamp-1"}})");
  EXPECT_EQ(run(base).events(), (Events{"ERROR Failed to download manifest"}));
  EXPECT_FALSE(exists(base + "/eu/manifest.meta"));
}

TEST_F(HostileAnswers, DuplicatePathsKeepTheLaterEntry) {
  const std::string base = sandbox_.install() + "/dup";
  writeFile(sandbox_.site() + "/download/eu/Data/x.pak", "upper");
  writeFile(sandbox_.site() + "/download/eu/data/x.pak", "lower");
  const std::string body =
      R"([{"path":"a.pak","hash":"1","size":5},{"path":"a.pak","hash":"2","size":5},)"
      R"({"path":"Data/x.pak","hash":"u","size":5},{"path":"data/x.pak","hash":"l","size":5}])";
  server_.setRules(R"({"/download/eu/manifest.json": {"body": )" + jsonString(body) + "}}");
  EXPECT_EQ(run(base).events(), kInstalled);
  // Each once; transfers in flight together may reach the site in any order.
  std::vector<std::string> requested = fileRequests();
  std::sort(requested.begin(), requested.end());
  EXPECT_EQ(requested, (std::vector<std::string>{"/download/eu/Data/x.pak", "/download/eu/a.pak",
                                                 "/download/eu/data/x.pak"}));
  updater::ManifestMap local;
  ASSERT_TRUE(updater::readLocalManifest(base + "/eu", local));
  EXPECT_EQ(local.at("a.pak").hash, "2");
  EXPECT_EQ(readFile(base + "/eu/Data/x.pak"), "upper");
  EXPECT_EQ(readFile(base + "/eu/data/x.pak"), "lower");
}

// A body longer than the manifest says, with or without a length, also for
// a size of 0, and an endless error page: every attempt fails and no more
// than the announced size (or the error page limit) plus one buffer lands on
// disk.
TEST_F(HostileAnswers, BodiesLongerThanTheManifestSizeFail) {
  struct Case {
    std::string name;
    std::int64_t size;
    std::string rule;
    std::size_t mostOnDisk;
  };
  const std::size_t buffer = 1024u * 1024u;
  const Case cases[] = {
      {"no length", 1000, R"({"endless": true, "endlessCap": 52428800})", 1000u + buffer},
      {"long length", 1000, R"({"endless": true, "endlessCap": 50000000, "contentLength": 50000000})",
       1000u + buffer},
      {"size 0", 0, R"({"endless": true, "endlessCap": 52428800})", buffer},
      {"error page", 1000, R"({"status": 500, "endless": true, "endlessCap": 52428800})",
       static_cast<std::size_t>(updater::kErrorPageLimit)},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = sandbox_.install() + "/big-" + std::to_string(++n);
    const std::string manifest = R"([{"path":"big.pak","hash":"h","size":)" + std::to_string(c.size) + "}]";
    server_.setRules(R"({"/download/eu/manifest.json": {"body": )" + jsonString(manifest) +
                     R"(}, "/download/eu/big.pak": )" + c.rule + "}");
    server_.clearRequests();
    const RecordedRun r = run(base);
    EXPECT_EQ(r.events(), (Events{"STATUS Checking updates...", "STATUS Connection failed (big.pak), retrying... (1/3)",
                                  "STATUS Connection failed (big.pak), retrying... (2/3)",
                                  "ERROR Connection failed (big.pak) after 3 attempts"}));
    EXPECT_EQ(fileRequests().size(), 3u);
    EXPECT_LE(readFile(base + "/eu/big.pak").size(), c.mostOnDisk);
    EXPECT_FALSE(exists(base + "/eu/manifest.meta"));
  }
}

// A download cut midway leaves the old file as it was; the next run asks
// only for the rest, with the validator the cut answer gave, and appends
// it when the answer continues exactly there. Whatever does not (a site
// that ignores ranges, a changed file, a range that does not fit) starts the
// file again from zero; a 206 body longer than the rest fails like any too
// long body, and the bytes it left are caught by the hash check of the next
// attempt. Every case starts with three cut answers (the site ignores their
// ranges, so the cut run's retries start over).
TEST_F(HostileAnswers, ACutDownloadContinuesOnlyWhereItFits) {
  const std::size_t kSize = 3000000;
  const std::string kCut = R"({"cutAt": 1000000, "etag": "\"v1\""}, )";
  std::string content(kSize, '\0');
  for (std::size_t i = 0; i < kSize; ++i) content[i] = static_cast<char>((i * 7919u) >> 5);
  writeFile(sandbox_.client(1) + "/big.pak", content);
  sandbox_.publish(1);
  const std::string asked = "bytes=1000000-";
  struct Case {
    std::string name;
    std::string laterRules;                       // after the three cut answers
    std::vector<std::string> ranges;              // of the next run's requests of big.pak ("*": any)
  };
  const std::string fits = R"("headers": {"Content-Range": "bytes 1000000-2999999/3000000"})";
  const Case cases[] = {
      {"continued", R"({"ranges": true, "etag": "\"v1\""})", {asked}},
      {"ranges ignored", R"({"etag": "\"v1\""})", {asked}},
      {"changed file", R"({"ranges": true, "etag": "\"v2\""})", {asked}},
      {"changed file, If-Range ignored",
       R"({"ranges": true, "ignoreIfRange": true, "etag": "\"v2\""}, {"ranges": true, "etag": "\"v2\""})",
       {asked, ""}},
      {"range elsewhere",
       R"({"status": 206, "etag": "\"v1\"", "headers": {"Content-Range": "bytes 999999-2999999/3000000"}},)"
       R"({"etag": "\"v1\""})",
       {asked, ""}},
      {"other total",
       R"({"status": 206, "etag": "\"v1\"", "headers": {"Content-Range": "bytes 1000000-2999999/3000001"}},)"
       R"({"etag": "\"v1\""})",
       {asked, ""}},
      // The endless rest fails at its limit; the next attempt continues after
      // its bytes, and the file they make is not the listed one.
      {"endless rest, then a hash mismatch",
       R"({"status": 206, "etag": "\"v1\"", "endless": true, "endlessCap": 52428800, )" + fits + "}, " +
           R"({"ranges": true, "etag": "\"v1\""})",
       {asked, "*", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = sandbox_.install() + "/" + c.name;
    writeFile(base + "/eu/big.pak", "old");
    server_.setRules(R"({"/download/eu/big.pak": [)" + kCut + kCut + kCut + c.laterRules + "]}");
    server_.clearRequests();
    // One transfer at a time: a cut among other transfers would only be
    // tried again without a word.
    RunOptions oneAtATime;
    oneAtATime.connections = 1;
    const RecordedRun cut = run(base, {}, oneAtATime);
    EXPECT_EQ(cut.events().back(), "ERROR Connection failed (big.pak) after 3 attempts");
    EXPECT_EQ(readFile(base + "/eu/big.pak"), "old");
    EXPECT_EQ(readFile(base + "/eu/big.pak.kvpart"), content.substr(0, 1000000));
    EXPECT_TRUE(exists(base + "/eu/big.pak.kvpart.info"));
    server_.clearRequests();
    EXPECT_TRUE(run(base).ready());
    std::vector<std::string> ranges;
    for (const SeenRequest& seen : server_.requests()) {
      if (seen.path != "/download/eu/big.pak") continue;
      ranges.push_back(seen.range);
      // Every range names the validator of the bytes it continues.
      EXPECT_EQ(seen.ifRange, seen.range.empty() ? "" : "\"v1\"");
    }
    ASSERT_EQ(ranges.size(), c.ranges.size()) << ::testing::PrintToString(ranges);
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      if (c.ranges[i] == "*") {
        EXPECT_EQ(ranges[i].rfind("bytes=", 0), 0u) << ranges[i];
      } else {
        EXPECT_EQ(ranges[i], c.ranges[i]) << "request " << i + 1;
      }
    }
    expectConverged(sandbox_, base, 1, "vdclient_gl_x64", sandbox_.quickStamp(1));
  }
}

TEST_F(HostileAnswers, RedirectsAreLimitedAndVerified) {
  NginxServer other;
  std::string error;
  ASSERT_TRUE(other.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
  ScriptedServer wrongName;
  ASSERT_TRUE(wrongName.start(sandbox_.site(), sandbox_.state("wrong"), testCertificates(), error,
                              ServerCertificate::WrongName))
      << error;

  // To another valid host: fetched from there.
  server_.setRules(R"({"/download/eu/a.pak": {"redirect": "https://localhost:)" + std::to_string(other.port()) +
                   R"(/download/eu/a.pak"}})");
  const std::string good = sandbox_.install() + "/redirect-good";
  EXPECT_EQ(run(good).events(), kInstalled);
  EXPECT_EQ(readFile(good + "/eu/a.pak"), "hello");
  EXPECT_EQ(requestPaths(other.requests()), (std::vector<std::string>{"/download/eu/a.pak"}));

  const Events failedA = {"STATUS Checking updates...", "STATUS Connection failed (a.pak), retrying... (1/3)",
                          "STATUS Connection failed (a.pak), retrying... (2/3)",
                          "ERROR Connection failed (a.pak) after 3 attempts"};
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"loop", R"({"redirect": "{base}/loop/0"})"},
      {"wrong certificate", R"({"redirect": "https://127.0.0.1:)" + std::to_string(wrongName.port()) +
                                R"(/download/eu/a.pak"})"},
      {"plain http", R"({"redirect": "http://127.0.0.1:)" + std::to_string(other.port()) + R"(/download/eu/a.pak"})"},
  };
  for (const auto& [name, rule] : bad) {
    SCOPED_TRACE(name);
    server_.setRules(R"({"/download/eu/a.pak": )" + rule + "}");
    server_.clearRequests();
    const std::string base = sandbox_.install() + "/redirect-" + std::to_string(name.size());
    const RecordedRun r = run(base);
    EXPECT_EQ(r.events(), failedA);
    EXPECT_EQ(r.boxes.size(), 3u);
    EXPECT_FALSE(exists(base + "/eu/manifest.meta"));
    std::size_t hops = 0;
    for (const auto& path : requestPaths(server_.requests())) hops += path.rfind("/loop/", 0) == 0;
    EXPECT_LE(hops, 3u * 11u);
  }
  EXPECT_TRUE(wrongName.requests().empty()) << "no request may pass a failed handshake";

  // Manifest requests stop at the same limit.
  server_.setRules(R"({"/download/eu/manifest.json": {"redirect": "{base}/loop/0"}})");
  EXPECT_EQ(run(sandbox_.install() + "/redirect-manifest").events(), kManifestFailed);
}

// A server that cannot prove who it is gets no request at all.
TEST_F(HostileAnswers, TlsFailuresStopBeforeAnyRequest) {
  const struct {
    const char* name;
    ServerCertificate certificate;
    bool oldTls;
  } cases[] = {
      {"wrong name", ServerCertificate::WrongName, false},
      {"expired", ServerCertificate::Expired, false},
      {"unknown authority", ServerCertificate::Foreign, false},
      {"only TLS 1.1", ServerCertificate::Valid, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer bad;
    std::string error;
    ASSERT_TRUE(bad.start(sandbox_.site(), sandbox_.state(std::string("tls-") + c.name), testCertificates(), error,
                          c.certificate, c.oldTls))
        << error;
    const std::string base = sandbox_.install() + "/tls-" + std::to_string(static_cast<int>(c.certificate)) +
                             (c.oldTls ? "-old" : "");
    const RecordedRun r = run(base, bad.hostPort());
    EXPECT_EQ(r.events(), kPreparing);
    EXPECT_TRUE(snapshotTree(base).empty());
    EXPECT_TRUE(bad.requests().empty());
  }
  // The certificate also names localhost, so that host name works too.
  const std::string base = sandbox_.install() + "/localhost";
  EXPECT_EQ(run(base, "localhost:" + std::to_string(server_.port())).events(), kInstalled);
}

TEST_F(HostileAnswers, ErrorStatusesOfTheSmallRequests) {
  // An error page instead of the version text reads as a newer launcher.
  server_.setRules(R"({"/download/updater.php": {"status": 404, "body": "<h1>Not Found</h1>"}})");
  server_.clearRequests();
  const std::string outdated = sandbox_.install() + "/outdated";
  EXPECT_EQ(run(outdated).events(), kNewLauncher);
  EXPECT_EQ(requestPaths(server_.requests()), (std::vector<std::string>{"/download/updater.php"}));

  // A 404 answer that carries a stamp is taken as the stamp.
  server_.setRules(R"({"/download/eu/manifest.php": {"status": 404, "body": "<h1>x</h1>", "lastModified": "s-404"}})");
  const std::string stamped = sandbox_.install() + "/stamped";
  EXPECT_EQ(run(stamped).events(), kInstalled);
  EXPECT_EQ(readFile(stamped + "/eu/manifest.meta"), "Last-Modified: s-404\n");

  // Without a stamp no manifest is asked for.
  server_.setRules(R"({"/download/eu/manifest.php": {"status": 404, "body": "<h1>x</h1>", "lastModified": null}})");
  server_.clearRequests();
  const std::string unstamped = sandbox_.install() + "/unstamped";
  EXPECT_EQ(run(unstamped).events(), kPreparing);
  EXPECT_EQ(requestPaths(server_.requests()),
            (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php"}));
  EXPECT_TRUE(snapshotTree(unstamped).empty());
}

// Every stamp that is accepted survives the round trip: after one run the
// next one makes exactly two requests and is ready.
TEST_F(HostileAnswers, LastModifiedValuesRoundTrip) {
  const struct {
    std::string name;
    std::string rule;    // the manifest.php rule's stamp part
    std::string stored;  // what manifest.meta must then hold
  } accepted[] = {
      {"date", R"("lastModified": "Tue, 14 Nov 2023 22:13:20 GMT")", "Tue, 14 Nov 2023 22:13:20 GMT"},
      {"long", R"("lastModified": ")" + std::string(300, 'x') + "\"", std::string(300, 'x')},
      {"not a date", R"("lastModified": "build-42")", "build-42"},
      {"inner blanks", R"("lastModified": "a  b")", "a  b"},
      {"outer blanks", R"("lastModified": "  padded  ")", "padded"},
      {"high bytes", R"("lastModified": "caf\u00e9")", "caf\xe9"},
      {"two headers", R"("lastModifiedList": ["first", "second"])", "first"},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.name);
    server_.setRules(R"({"/download/eu/manifest.php": {)" + c.rule + "}}");
    const std::string base = sandbox_.install() + "/lm-" + c.name;
    EXPECT_EQ(run(base).events(), kInstalled);
    EXPECT_EQ(readFile(base + "/eu/manifest.meta"), "Last-Modified: " + c.stored + "\n");
    server_.clearRequests();
    EXPECT_EQ(run(base).events(), (Events{"READY"}));
    EXPECT_EQ(requestPaths(server_.requests()),
              (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php"}));
  }
  for (const std::string rule : {R"("lastModified": null)", R"("lastModified": "")", R"("lastModified": "   ")"}) {
    SCOPED_TRACE(rule);
    server_.setRules(R"({"/download/eu/manifest.php": {)" + rule + "}}");
    server_.clearRequests();
    const std::string base = sandbox_.install() + "/lm-rejected";
    EXPECT_EQ(run(base).events(), kPreparing);
    EXPECT_EQ(requestPaths(server_.requests()).size(), 2u);
  }
}

// A stale full manifest behind a fresh stamp: the run installs what
// manifest.json lists and records the stamp that came with manifest.php. An
// unchanged stamp is then taken to mean an unchanged manifest, so once the
// site is consistent again the next run is ready at once with the old files;
// the next publish (a new stamp) brings the new ones.
TEST_F(HostileAnswers, AStaleFullManifestIsTrustedUntilTheStampChanges) {
  const std::string oldManifest = readFile(sandbox_.site() + "/download/eu/manifest.json");
  writeFile(sandbox_.client(1) + "/a.pak", "hello again");
  sandbox_.publish(1);
  const std::string newManifest = readFile(sandbox_.site() + "/download/eu/manifest.json");
  ASSERT_NE(oldManifest, newManifest);
  const std::string quick = R"("/download/eu/manifest.php": {"body": )" + jsonString(newManifest) +
                            R"(, "lastModified": "stamp-2"})";

  const std::string base = sandbox_.install() + "/stale";
  server_.setRules("{" + quick + R"(, "/download/eu/manifest.json": {"body": )" + jsonString(oldManifest) +
                   R"(}, "/download/eu/a.pak": {"body": "hello"}})");
  EXPECT_EQ(run(base).events(), kInstalled);
  EXPECT_EQ(readFile(base + "/eu/a.pak"), "hello");
  EXPECT_EQ(readFile(base + "/eu/manifest.meta"), "Last-Modified: stamp-2\n");

  server_.setRules("{" + quick + "}");
  server_.clearRequests();
  EXPECT_EQ(run(base).events(), (Events{"READY"}));
  EXPECT_EQ(requestPaths(server_.requests()),
            (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php"}));
  EXPECT_EQ(readFile(base + "/eu/a.pak"), "hello");

  server_.setRules(R"({"/download/eu/manifest.php": {"body": )" + jsonString(newManifest) +
                   R"(, "lastModified": "stamp-3"}})");
  EXPECT_EQ(run(base).events(), kInstalled);
  EXPECT_EQ(readFile(base + "/eu/a.pak"), "hello again");
}

TEST_F(HostileAnswers, VersionTextsAreComparedByteForByte) {
  const std::string own(kLauncherVersionText);
  std::string ownHex;
  for (const char c : own) {
    static constexpr char kDigits[] = "0123456789abcdef";
    ownHex += kDigits[static_cast<unsigned char>(c) >> 4];
    ownHex += kDigits[static_cast<unsigned char>(c) & 15];
  }
  const struct {
    std::string name;
    std::string rule;
    bool newer;
  } cases[] = {
      {"exact", R"({"body": ")" + own + R"("})", false},
      {"empty", R"({"body": ""})", false},
      {"line feed", R"({"body": ")" + own + R"(\n"})", true},
      {"crlf", R"({"body": ")" + own + R"(\r\n"})", true},
      {"bom", R"({"bodyHex": "efbbbf)" + ownHex + R"("})", true},
      {"trailing blank", R"({"body": ")" + own + R"( "})", true},
      {"binary", R"({"bodyHex": "fffe"})", true},
      {"older", R"({"body": "KVLauncher Version 0.28"})", true},
      {"endless", R"({"endless": true, "endlessCap": 104857600})", false},
      {"cut", R"({"body": ")" + own + R"(", "cutAt": 5})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_.setRules(R"({"/download/updater.php": )" + c.rule + "}");
    const RecordedRun r = run(sandbox_.install() + "/version-" + c.name);
    EXPECT_EQ(r.events(), c.newer ? kNewLauncher : kInstalled);
  }
}

TEST_F(HostileAnswers, StatusTextsAreSafeForAnyPath) {
  const std::string accented = "musique/\xc3\xa9t\xc3\xa9%s%n.ogg";
  std::string longPath;
  for (int i = 0; i < 6; ++i) longPath += std::string(99, static_cast<char>('a' + i)) + (i < 5 ? "/" : ".pak");
  writeFile(sandbox_.client(1) + "/" + accented, "sound");
  writeFile(sandbox_.client(1) + "/" + longPath, "long");
  sandbox_.publish(1);
  const auto encode = [](const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
        out.push_back(static_cast<char>(c));
      } else {
        char buffer[4];
        std::snprintf(buffer, sizeof buffer, "%%%02X", c);
        out += buffer;
      }
    }
    return out;
  };
  server_.setRules(R"({"/download/eu/)" + encode(accented) + R"(": [{"status": 500}, {}], "/download/eu/)" +
                   encode(longPath) + R"(": [{"status": 500}, {}]})");
  // One connection, so that each file's failure is seen in turn.
  const RecordedRun r = run(sandbox_.install() + "/texts", {}, {.connections = 1});
  ASSERT_TRUE(r.ready());
  const std::string longText = "Connection failed (" + longPath + "), retrying... (1/3)";
  const Events expected = {"STATUS Checking updates...", "STATUS " + longText.substr(0, 255),
                           "STATUS Connection failed (" + accented + "), retrying... (1/3)", "READY"};
  EXPECT_EQ(r.events(), expected);
  for (const auto& report : r.reports) EXPECT_LE(utf8Length(report.text), 255u) << report.text;
  EXPECT_EQ(readFile(sandbox_.install() + "/texts/eu/" + accented), "sound");
}

// Names with blanks, "#", "?", "%" and non-ASCII letters are fetched from
// where they really are.
TEST_F(HostileAnswers, OddNamesAreRequestedEncoded) {
  Sandbox sandbox;
  const std::vector<std::string> names = {"da ta/x y.pak", "a#b/c.pak", "100%/c.pak", "\xc3\xb6/\xc3\xbc.pak"};
  for (const auto& name : names) writeFile(sandbox.client(1) + "/" + name, "content of " + name);
  sandbox.publish(1);
  // The publishing tool refuses "?" (the Windows program cannot create such
  // a file), but a site made by other means may list it: added by hand.
  const std::string serverSite = sandbox.site() + "/download/eu";
  const std::string odd = "a?b/c.pak";
  for (const auto& folder : {serverSite, sandbox.client(1)}) writeFile(folder + "/" + odd, "content of " + odd);
  updater::ManifestMap manifest;
  ASSERT_TRUE(updater::readLocalManifest(serverSite, manifest));
  manifest[odd] = {odd, "hash-of-a-question", static_cast<std::int64_t>(("content of " + odd).size()), true};
  for (const char* name : {"/manifest.json", "/manifest.php"}) {
    writeFile(serverSite + name, updater::serializeManifest(manifest));
  }
  NginxServer nginx;
  std::string error;
  ASSERT_TRUE(nginx.start(sandbox.site(), sandbox.state("nginx"), testCertificates(), error)) << error;
  const RecordedRun r = runUpdateOnce(nginx.hostPort(), testCertificates().caFile, sandbox.install());
  EXPECT_EQ(r.events(), kInstalled);
  expectConverged(sandbox, sandbox.install(), 1, "vdclient_gl_x64", sandbox.quickStamp(1));
  const auto paths = requestPaths(nginx.requests());
  for (const std::string expected : {"/download/eu/da%20ta/x%20y.pak", "/download/eu/a%23b/c.pak",
                                     "/download/eu/a%3Fb/c.pak", "/download/eu/100%25/c.pak",
                                     "/download/eu/%C3%B6/%C3%BC.pak"}) {
    EXPECT_NE(std::find(paths.begin(), paths.end(), expected), paths.end()) << expected;
  }
}

}  // namespace
}  // namespace kv::test
