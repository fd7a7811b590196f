#include "updater/update_run.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <filesystem>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "archive/zip_archive.h"
#include "base/launcher_version.h"
#include "platform/fake/fake_platform.h"
#include "support/fake_http_transport.h"
#include "support/fault_injecting_files.h"
#include "support/temp_dir.h"
#include "delta/chunk_index.h"
#include "platform/sha256.h"
#include "updater/delta_fetch.h"
#include "updater/endpoints.h"
#include "updater/install_record.h"
#include "updater/manifest.h"
#include "updater/release_check.h"
#include "signing/minisign.h"
#include "signing/release_claim.h"

namespace kv::updater {
namespace {

using kv::test::exists;
using kv::test::readFile;
using kv::test::FaultInjectingFiles;
using kv::test::snapshotTree;
using kv::test::TempDir;
using kv::test::writeFile;
using platform::Report;
using platform::ReportKind;
using testing::FakeAnswer;
using testing::FakeHttpTransport;
using testing::FakeRequestKind;

const std::string kBase = "https://site.test/download/";
const std::string kVersionUrl = kBase + "updater.php";
const std::string kStamp1 = "Mon, 07 Dec 2026 10:00:00 GMT";
const std::string kStamp2 = "Tue, 08 Dec 2026 10:00:00 GMT";

// A file the fake site serves.
struct SiteFile {
  std::string path;
  std::string content;
  std::string hash;
  std::string index;  // the element's "index" value as JSON; "" for none
};

std::string manifestOf(const std::vector<SiteFile>& files) {
  std::string text = "[";
  for (const SiteFile& file : files) {
    if (text.size() > 1) text += ",";
    text += R"({"path":")" + file.path + R"(","hash":")" + file.hash + R"(","size":)" +
            std::to_string(file.content.size()) + (file.index.empty() ? "" : R"(,"index":)" + file.index) + "}";
  }
  return text + "]";
}

// A ZIP archive holding the given root-level files.
std::string zipOf(const std::vector<std::pair<std::string, std::string>>& entries) {
  TempDir dir;
  for (const auto& [name, content] : entries) writeFile(dir / ("in/" + name), content);
  EXPECT_TRUE(archive::createZipArchive(dir / "in", dir / "out.zip"));
  return readFile(dir / "out.zip");
}

// One update run of a server against a scripted site, in a fresh folder.
class RunFixture {
 public:
  explicit RunFixture(int server = 1) : worker(server), folder(server == 1 ? "eu" : "us") {
    context.worker = &worker;
    context.runtime = &runtime;
    context.reports = &sink;
    context.dialogs = &dialogs;
    context.site = SiteConfig{"site.test", ""};
    context.clientBuild = "vdclient_gl_x64";
    context.baseFolder = root.path();
    context.transport = &transport;
    context.retryPause = std::chrono::milliseconds(0);
  }

  std::string url(const std::string& path) const { return kBase + folder + "/" + path; }
  std::string local(const std::string& path) const { return root / (folder + "/" + path); }

  // Scripts a site with the current launcher, stamp and these files.
  void publish(const std::vector<SiteFile>& files, const std::string& stamp = kStamp1) {
    FakeAnswer version;
    version.body = std::string(kLauncherVersionText);
    transport.script(kVersionUrl, version);
    FakeAnswer head;
    head.lastModified = stamp;
    FakeAnswer manifest;
    manifest.body = manifestOf(files);
    manifest.lastModified = stamp;
    transport.script(url("manifest.php"), head);
    transport.script(url("manifest.php"), manifest);
    transport.script(url("manifest.json"), manifest);
    for (const SiteFile& file : files) {
      if (transport.hasScript(url(percentEncodePath(file.path)))) continue;  // scripted by the test
      FakeAnswer body;
      body.body = file.content;
      body.progressSteps = {static_cast<std::int64_t>(file.content.size())};
      transport.script(url(percentEncodePath(file.path)), body);
    }
  }

  void run() { runUpdate(context); }

  // The reports as "KIND text", without the timing-dependent download
  // status and progress reports.
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const Report& report : sink.queuedReports()) {
      EXPECT_EQ(report.server, worker.server);
      switch (report.kind) {
        case ReportKind::Status:
          if (report.text.rfind("Downloading: ", 0) != 0) out.push_back("STATUS " + report.text);
          break;
        case ReportKind::Error: out.push_back("ERROR " + report.text); break;
        case ReportKind::Ready: out.push_back("READY"); break;
        case ReportKind::Progress: break;
      }
    }
    return out;
  }

  std::vector<std::string> requestedUrls() const {
    std::vector<std::string> out;
    for (const auto& request : transport.requests) out.push_back(request.url);
    return out;
  }

  TempDir root;
  UpdaterWorker worker;
  ServerRuntime runtime;
  platform::fake::FakeWindow sink;  // keeps the posted reports
  platform::fake::FakeDialogs dialogs;
  FakeHttpTransport transport;
  UpdateContext context;
  std::string folder;
};

ino_t inodeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

const std::vector<SiteFile>& clientFiles() {
  static const std::vector<SiteFile> files = {
      {"a.pak", "alpha", "ha"},
      {"data/b y.pak", "bravo", "hb"},
      {"oldlibs.zip", "not unpacked", "ho"},
      {"sub/pack.zip", zipOf({{"packed.txt", "from the pack"}}), "hp"},
      {"vdclient_dx_x64.zip", "the other build", "hd"},
      {"vdclient_gl_x64.zip", zipOf({{"vdclient_gl_x64.exe", "exe"}, {"gl.dll", "lib"}}), "hg"},
  };
  return files;
}

TEST(UpdateRun, FirstInstallFetchesUnpacksAndRecordsEverything) {
  RunFixture f;
  f.publish(clientFiles());
  f.run();
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...", "READY"}));
  EXPECT_EQ(f.requestedUrls(),
            (std::vector<std::string>{kVersionUrl, f.url("manifest.php"), f.url("manifest.php"),
                                      f.url("manifest.json"), f.url("a.pak"), f.url("data/b%20y.pak"),
                                      f.url("oldlibs.zip"), f.url("sub/pack.zip"), f.url("vdclient_gl_x64.zip")}));
  EXPECT_EQ(f.transport.requests[1].kind, FakeRequestKind::LastModified);
  EXPECT_EQ(f.transport.requests[2].kind, FakeRequestKind::Text);
  EXPECT_EQ(readFile(f.local("a.pak")), "alpha");
  EXPECT_EQ(readFile(f.local("data/b y.pak")), "bravo");
  EXPECT_EQ(readFile(f.local("oldlibs.zip")), "not unpacked");
  EXPECT_EQ(readFile(f.local("sub/packed.txt")), "from the pack");
  EXPECT_FALSE(exists(f.local("sub/pack.zip")));
  EXPECT_EQ(readFile(f.local("vdclient_gl_x64.exe")), "exe");
  EXPECT_EQ(readFile(f.local("gl.dll")), "lib");
  EXPECT_FALSE(exists(f.local("vdclient_gl_x64.zip")));
  EXPECT_FALSE(exists(f.local("vdclient_dx_x64.zip")));

  ManifestMap local;
  ASSERT_TRUE(readLocalManifest(f.root / "eu", local));
  EXPECT_EQ(local.size(), 5u);
  EXPECT_EQ(local.at("sub/pack.zip").hash, "hp");
  EXPECT_EQ(local.count("vdclient_dx_x64.zip"), 0u);
  EXPECT_EQ(readFile(f.local("manifest.meta")), "Last-Modified: " + kStamp1 + "\n");
  EXPECT_EQ(f.runtime.storedLastModified(), kStamp1);
  EXPECT_TRUE(f.dialogs.boxes().empty());
  EXPECT_FALSE(exists(f.root / "curl_download.log"));
}

TEST(UpdateRun, AnUnchangedStampIsReadyAfterTwoRequests) {
  RunFixture f;
  f.publish(clientFiles());
  f.run();
  const ino_t metaBefore = inodeOf(f.local("manifest.meta"));
  const auto treeBefore = snapshotTree(f.root.path());

  f.transport.requests.clear();
  (void)f.sink.takeReports();
  f.run();
  EXPECT_EQ(f.messages(), std::vector<std::string>{"READY"});
  EXPECT_EQ(f.requestedUrls(), (std::vector<std::string>{kVersionUrl, f.url("manifest.php")}));
  EXPECT_EQ(inodeOf(f.local("manifest.meta")), metaBefore) << "the record was rewritten";
  EXPECT_EQ(snapshotTree(f.root.path()), treeBefore);
}

TEST(UpdateRun, AChangedStampWithTheSameManifestOnlyRecordsTheStamp) {
  RunFixture f;
  f.publish(clientFiles());
  f.run();
  const ino_t manifestBefore = inodeOf(f.local("manifest.json"));

  RunFixture g;
  g.context.baseFolder = f.root.path();
  g.runtime.setStoredLastModified(kStamp1);
  g.publish(clientFiles(), kStamp2);
  g.run();
  EXPECT_EQ(g.messages(), (std::vector<std::string>{"STATUS Checking updates...", "READY"}));
  for (const auto& request : g.transport.requests) EXPECT_NE(request.kind, FakeRequestKind::Download);
  EXPECT_EQ(readFile(f.local("manifest.meta")), "Last-Modified: " + kStamp2 + "\n");
  EXPECT_EQ(g.runtime.storedLastModified(), kStamp2);
  EXPECT_EQ(inodeOf(f.local("manifest.json")), manifestBefore) << "the local manifest was rewritten";
}

TEST(UpdateRun, TwoFailuresThenSuccessShowTwoRetries) {
  RunFixture f;
  const std::vector<SiteFile> files = {{"x y.pak", "xy", "h"}};
  FakeAnswer failure;
  failure.status = 503;
  f.transport.script(f.url("x%20y.pak"), failure);
  f.transport.script(f.url("x%20y.pak"), failure);
  f.transport.script(f.url("x%20y.pak"), FakeAnswer{.body = "xy"});
  f.publish(files);
  f.run();
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...",
                                                    "STATUS Connection failed (x y.pak), retrying... (1/3)",
                                                    "STATUS Connection failed (x y.pak), retrying... (2/3)",
                                                    "READY"}));
  EXPECT_EQ(f.transport.count(f.url("x%20y.pak")), 3);
  ASSERT_EQ(f.dialogs.boxes().size(), 2u);
  EXPECT_EQ(f.dialogs.boxes()[1].text, "Download failed.\nHTTP response code: 503");
  EXPECT_EQ(readFile(f.local("x y.pak")), "xy");
  const std::string log = readFile(f.root / "curl_download.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
  EXPECT_NE(log.find("] HTTP status code: 503\n"), std::string::npos);
}

// Answers that tell of a site limiting connections cost nothing visible
// while several transfers run: the engine narrows and the file is tried
// again. On one transfer they are failed attempts like any other; other
// failures always are, and the transfers in flight beside them are started
// again without a word.
TEST(UpdateRun, ALimitedSiteNarrowsTheEngineQuietly) {
  FakeAnswer refused;
  refused.status = 503;
  FakeAnswer busy;
  busy.status = 429;
  FakeAnswer reset;
  reset.outcome = TransferOutcome::Failed;
  reset.errorText = "Connection reset";
  reset.connectionLost = true;
  FakeAnswer broken;
  broken.status = 500;
  const FakeAnswer whole{.body = "bravo"};
  const std::string retry = "STATUS Connection failed (b.pak), retrying... ";
  struct Case {
    const char* name;
    int width;
    std::vector<FakeAnswer> answers;  // of b.pak, in order
    std::vector<std::string> messages;
    int boxes;
  };
  const Case cases[] = {
      {"503 then whole", 4, {refused, whole}, {"READY"}, 0},
      {"429 twice", 4, {busy, busy, whole}, {"READY"}, 0},
      {"a lone reset", 4, {reset, whole}, {"READY"}, 0},
      {"503 on one transfer", 1, {refused, whole}, {retry + "(1/3)", "READY"}, 1},
      // 4 -> 2 -> 1 quietly, then three failed attempts.
      {"503 for good", 4, {refused},
       {retry + "(1/3)", retry + "(2/3)", "ERROR Connection failed (b.pak) after 3 attempts"}, 3},
      {"500 among others", 4, {broken, whole}, {retry + "(1/3)", "READY"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunFixture f;
    f.transport.engineWidth = c.width;
    for (const FakeAnswer& answer : c.answers) f.transport.script(f.url("b.pak"), answer);
    f.publish({{"a.pak", "alpha", "ha"}, {"b.pak", "bravo", "hb"}, {"c.pak", "charlie", "hc"},
               {"d.pak", "delta", "hd"}});
    f.run();
    std::vector<std::string> expected = {"STATUS Checking updates..."};
    expected.insert(expected.end(), c.messages.begin(), c.messages.end());
    EXPECT_EQ(f.messages(), expected);
    EXPECT_EQ(f.dialogs.boxes().size(), static_cast<std::size_t>(c.boxes));
    const std::string log = exists(f.root / "curl_download.log") ? readFile(f.root / "curl_download.log") : "";
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), c.boxes);
    // a.pak finished before b.pak failed; c.pak and d.pak were in flight
    // and start again, uncounted, until they are whole.
    EXPECT_EQ(f.transport.count(f.url("a.pak")), 1);
    if (c.messages.back() == "READY") {
      EXPECT_EQ(readFile(f.local("d.pak")), "delta");
      ManifestMap local;
      ASSERT_TRUE(readLocalManifest(f.root / "eu", local));
      EXPECT_EQ(local.size(), 4u);
    }
  }
}

TEST(UpdateRun, ThreeFailuresEndTheRunWithoutRecordingAnything) {
  RunFixture f;
  FakeAnswer endless;  // far longer than the manifest says
  endless.body = std::string(100000, 'z');
  f.transport.script(f.url("data/x.pak"), endless);
  f.publish({{"a.pak", "alpha", "ha"}, {"data/x.pak", "short", "hx"}});
  f.run();
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...",
                                                    "STATUS Connection failed (data/x.pak), retrying... (1/3)",
                                                    "STATUS Connection failed (data/x.pak), retrying... (2/3)",
                                                    "ERROR Connection failed (data/x.pak) after 3 attempts"}));
  EXPECT_FALSE(exists(f.local("data/x.pak")));
  EXPECT_FALSE(exists(f.local("data/x.pak.kvpart")));
  EXPECT_FALSE(exists(f.local("manifest.json")));
  EXPECT_FALSE(exists(f.local("manifest.meta")));
  EXPECT_EQ(f.runtime.storedLastModified(), "");
}

// A size the manifest leaves out allows a body of any length; a listed
// size of 0 allows none.
// A run that does not fit on the disk says how much it needs and has,
// fetches nothing and records nothing; once there is room it installs.
TEST(UpdateRun, ARunThatDoesNotFitTheDiskFetchesNothing) {
  RunFixture f;
  f.publish({{"a.pak", std::string(3000, 'a'), "ha"}, {"sub/pack.dat", std::string(2000, 'z'), "hp"}});
  {
    FaultInjectingFiles faults;
    faults.setFreeSpace(1024);
    f.run();
  }
  const std::string text = "Not enough disk space: 4.9 KB needed in eu, 1.0 KB free";
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...", "ERROR " + text}));
  EXPECT_EQ(f.requestedUrls(), (std::vector<std::string>{kVersionUrl, f.url("manifest.php"), f.url("manifest.php"),
                                                         f.url("manifest.json")}));
  EXPECT_FALSE(exists(f.local("a.pak")));
  EXPECT_FALSE(exists(f.local("manifest.json")));
  EXPECT_FALSE(exists(f.local("manifest.meta")));
  EXPECT_NE(readFile(f.root / "curl_download.log").find("] " + text + "\n"), std::string::npos);
  {
    FaultInjectingFiles faults;
    faults.setFreeSpace(5000);
    f.run();
  }
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...", "ERROR " + text,
                                                    "STATUS Checking updates...", "READY"}));
  EXPECT_EQ(readFile(f.local("a.pak")), std::string(3000, 'a'));
}

// An archive small enough to download that unpacks more than the disk holds
// says so in the same words, and unpacks nothing.
TEST(UpdateRun, AnArchiveThatUnpacksPastTheFreeSpaceSaysHowMuchItNeeds) {
  RunFixture f;
  f.publish({{"sub/pack.zip", zipOf({{"big.dat", std::string(20000, 'z')}}), "hp"}});
  {
    FaultInjectingFiles faults;
    faults.setFreeSpace(3000);
    f.run();
  }
  const std::string text = "Not enough disk space: 19.5 KB needed in eu, 2.9 KB free";
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...", "ERROR " + text}));
  EXPECT_FALSE(exists(f.local("sub/big.dat")));
  EXPECT_FALSE(exists(f.local("manifest.json")));
  EXPECT_NE(readFile(f.root / "curl_download.log").find("] " + text + "\n"), std::string::npos);
}

TEST(UpdateRun, ASizeLeftOutTakesAnyBodyAndASizeOfZeroNone) {
  RunFixture f;
  FakeAnswer manifest;
  manifest.body = R"([{"path":"free.pak","hash":"hf"},{"path":"zero.pak","hash":"hz","size":0}])";
  f.transport.script(f.url("manifest.json"), manifest);
  f.transport.script(f.url("zero.pak"), FakeAnswer{.body = "not empty"});
  f.publish({{"free.pak", "of any length", "hf"}, {"zero.pak", "", "hz"}});
  f.run();
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...",
                                                    "STATUS Connection failed (zero.pak), retrying... (1/3)",
                                                    "STATUS Connection failed (zero.pak), retrying... (2/3)",
                                                    "ERROR Connection failed (zero.pak) after 3 attempts"}));
  EXPECT_EQ(readFile(f.local("free.pak")), "of any length");
  EXPECT_FALSE(exists(f.local("zero.pak")));
}

// A new version is downloaded beside the old copy, which stays as it was
// until the new one is whole: a download that fails or is cancelled leaves
// the old copy and the record, and no temporary.
TEST(UpdateRun, TheOldCopyStaysUntilTheNewOneIsWhole) {
  const struct {
    const char* name;
    std::function<void(RunFixture&)> spoil;
    std::vector<std::string> messages;
  } cases[] = {
      {"too long",
       [](RunFixture& f) { f.transport.script(f.url("a.pak"), FakeAnswer{.body = std::string(100000, 'z')}); },
       {"STATUS Checking updates...", "STATUS Connection failed (a.pak), retrying... (1/3)",
        "STATUS Connection failed (a.pak), retrying... (2/3)", "ERROR Connection failed (a.pak) after 3 attempts"}},
      {"cancelled",
       [](RunFixture& f) {
         f.transport.onRequest = [&f](const testing::FakeRequest& request) {
           if (request.url == f.url("a.pak")) f.worker.cancel = true;
         };
       },
       {"STATUS Checking updates..."}},
  };
  for (const auto& c : cases) {
    RunFixture f;
    writeFile(f.local("a.pak"), "old");
    writeFile(f.local("manifest.json"), manifestOf({{"a.pak", "old", "h0"}}));
    const ino_t before = inodeOf(f.local("a.pak"));
    c.spoil(f);
    f.publish({{"a.pak", "alpha", "ha"}});
    f.run();
    EXPECT_EQ(f.messages(), c.messages) << c.name;
    EXPECT_EQ(readFile(f.local("a.pak")), "old") << c.name;
    EXPECT_EQ(inodeOf(f.local("a.pak")), before) << c.name;
    std::map<std::string, std::string> left = snapshotTree(f.local(""));
    left.erase("update.lock");  // held while the run wrote
    EXPECT_EQ(left.size(), 2u) << c.name << ": the old copy and the record only";
  }
  // A whole new version takes the old one's place.
  RunFixture f;
  writeFile(f.local("a.pak"), "old");
  writeFile(f.local("manifest.json"), manifestOf({{"a.pak", "old", "h0"}}));
  f.publish({{"a.pak", "alpha", "ha"}});
  f.run();
  EXPECT_EQ(f.messages().back(), "READY");
  EXPECT_EQ(readFile(f.local("a.pak")), "alpha");
  EXPECT_FALSE(exists(f.local("a.pak.kvpart")));
}

// The SHA-256 of "abc".
const std::string kSha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// What a temporary and its record hold decides whether the next download
// asks only for the rest; a file put together from two answers must have
// its listed SHA-256, else it is fetched again whole, and that copy is taken
// as it comes. The first case also shows the held bytes counted as done.
TEST(UpdateRun, ARecordedTemporaryIsContinuedOnlyWhenItFits) {
  const std::string kRecord = R"({"path":"a.pak","hash":")" + kSha + R"(","size":3,"validator":"\"v1\""})";
  const FakeAnswer rest{
      .status = 206, .body = "bc", .etag = "\"v1\"", .contentRange = "bytes 1-2/3", .progressSteps = {2}};
  const FakeAnswer whole{.body = "abc", .etag = "\"v1\""};
  struct Case {
    std::string name;
    std::string held;    // the temporary's content
    std::string record;  // the record's content ("" = none)
    std::vector<FakeAnswer> answers;
    std::vector<std::int64_t> ranges;  // the first byte each request asked for
    std::string result;
    std::string hash = kSha;
  };
  const Case cases[] = {
      {"continued", "a", kRecord, {rest}, {1}, "abc"},
      {"whole answer", "a", kRecord, {whole}, {1}, "abc"},
      {"range elsewhere", "a", kRecord,
       {FakeAnswer{.status = 206, .body = "abc", .contentRange = "bytes 0-2/3"}, whole}, {1, 0}, "abc"},
      {"changed validator", "a", kRecord, {FakeAnswer{.status = 206, .body = "bc", .etag = "\"v2\"",
                                                      .contentRange = "bytes 1-2/3"}, whole}, {1, 0}, "abc"},
      {"wrong bytes held", "x", kRecord, {rest, whole}, {1, 0}, "abc"},
      {"wrong bytes held, whole copy differs too", "x", kRecord, {rest, FakeAnswer{.body = "abd"}}, {1, 0}, "abd"},
      {"opaque hash", "x", R"({"path":"a.pak","hash":"h1","size":3,"validator":"\"v1\""})", {rest}, {1}, "xbc", "h1"},
      {"other path", "a", R"({"path":"b.pak","hash":")" + kSha + R"(","size":3,"validator":"v"})", {whole}, {0},
       "abc"},
      {"other hash", "a", R"({"path":"a.pak","hash":"h2","size":3,"validator":"v"})", {whole}, {0}, "abc"},
      {"other size", "a", R"({"path":"a.pak","hash":")" + kSha + R"(","size":4,"validator":"v"})", {whole}, {0},
       "abc"},
      {"no validator", "a", R"({"path":"a.pak","hash":")" + kSha + R"(","size":3,"validator":""})", {whole}, {0},
       "abc"},
      {"garbage record", "a", "{\"path\":[[[[", {whole}, {0}, "abc"},
      {"huge record", "a", kRecord + std::string(20000, ' '), {whole}, {0}, "abc"},
      {"all held already", "abc", kRecord, {whole}, {0}, "abc"},
      {"more held than listed", "abcd", kRecord, {whole}, {0}, "abc"},
      {"no record", "a", "", {whole}, {0}, "abc"},
      // A failed transfer records its bytes; the retry continues them.
      {"cut in this run", "", "",
       {FakeAnswer{.body = "a", .etag = "\"v1\"", .outcome = TransferOutcome::Failed, .errorText = "cut"}, rest},
       {0, 1}, "abc"},
      {"cut, no validator", "", "",
       {FakeAnswer{.body = "a", .outcome = TransferOutcome::Failed, .errorText = "cut"}, whole}, {0, 0}, "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunFixture f;
    for (const FakeAnswer& answer : c.answers) f.transport.script(f.url("a.pak"), answer);
    if (!c.held.empty()) writeFile(f.local("a.pak.kvpart"), c.held);
    if (!c.record.empty()) writeFile(f.local("a.pak.kvpart.info"), c.record);
    f.publish({{"a.pak", "abc", c.hash}});
    f.run();
    EXPECT_EQ(f.messages().back(), "READY");
    EXPECT_EQ(readFile(f.local("a.pak")), c.result);
    std::vector<std::int64_t> ranges;
    for (const testing::FakeRequest& request : f.transport.requests) {
      if (request.url != f.url("a.pak")) continue;
      ranges.push_back(request.rangeFrom);
      EXPECT_EQ(request.ifRange, request.rangeFrom > 0 ? std::string("\"v1\"") : std::string()) << c.name;
    }
    EXPECT_EQ(ranges, c.ranges);
    EXPECT_FALSE(exists(f.local("a.pak.kvpart")));
    EXPECT_FALSE(exists(f.local("a.pak.kvpart.info")));
    if (c.name == "continued") {
      const std::vector<Report> reports = f.sink.queuedReports();
      const auto bar = std::find_if(reports.begin(), reports.end(),
                                    [](const Report& r) { return r.kind == ReportKind::Progress; });
      ASSERT_NE(bar, reports.end());
      EXPECT_EQ(bar->progress, 1.0f);  // "a" held and "bc" received
    }
  }
}

// With release keys, a file is put in place only with its signed hash: the
// bytes of a whole answer are hashed as they arrive, a file put together
// from two answers is hashed whole and fetched again whole on a mismatch.
TEST(UpdateRun, ASignedRunHoldsEveryFileAgainstItsHash) {
  const signing::SecretKey key = signing::generateSecretKey();
  const std::string kRecord = R"({"path":"a.pak","hash":")" + kSha + R"(","size":3,"validator":"\"v1\""})";
  const FakeAnswer rest{
      .status = 206, .body = "bc", .etag = "\"v1\"", .contentRange = "bytes 1-2/3", .progressSteps = {2}};
  struct Case {
    std::string name;
    std::string held;  // the temporary's content, recorded ("" = none)
    std::vector<FakeAnswer> answers;
    bool installed;
  };
  const Case cases[] = {
      {"whole and right", "", {FakeAnswer{.body = "abc"}}, true},
      {"whole and wrong", "", {FakeAnswer{.body = "abd"}}, false},
      {"continued and right", "a", {rest}, true},
      {"wrong bytes held, whole copy right", "x", {rest, FakeAnswer{.body = "abc"}}, true},
      {"wrong bytes held, whole copy wrong", "x", {rest, FakeAnswer{.body = "abd"}}, false},
      {"cut, then continued", "",
       {FakeAnswer{.body = "a", .etag = "\"v1\"", .outcome = TransferOutcome::Failed, .errorText = "cut"}, rest},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunFixture f;
    writeFile(f.root / "release_keys", signing::publicKeyLine(signing::publicKeyOf(key)) + "\n");
    for (const FakeAnswer& answer : c.answers) f.transport.script(f.url("a.pak"), answer);
    if (!c.held.empty()) {
      writeFile(f.local("a.pak.kvpart"), c.held);
      writeFile(f.local("a.pak.kvpart.info"), kRecord);
    }
    const std::vector<SiteFile> files = {{"a.pak", "abc", kSha}};
    const std::string claim = signing::releaseClaimText({"eu", 1, std::time(nullptr) + 3600});
    for (const char* name : {"manifest.php.minisig", "manifest.json.minisig"}) {
      f.transport.script(f.url(name), FakeAnswer{.body = signing::signMessage(key, manifestOf(files), claim, "")});
    }
    f.publish(files);
    f.run();
    EXPECT_EQ(f.messages().back(), c.installed ? "READY" : "ERROR " + std::string(kTextFileNotSigned));
    EXPECT_EQ(exists(f.local("a.pak")), c.installed);
    if (c.installed) {
      EXPECT_EQ(readFile(f.local("a.pak")), "abc");
    }
    EXPECT_FALSE(exists(f.local("a.pak.kvpart")));
    EXPECT_FALSE(exists(f.local("a.pak.kvpart.info")));
    if (!c.installed) {
      EXPECT_NE(readFile(f.root / "curl_download.log").find("a.pak: SHA-256 "), std::string::npos);
    }
  }
}

// A run removes the temporaries and records of entries the site no longer
// lists, and nothing else of the server folder; links are never followed.
TEST(UpdateRun, StrayTemporariesAreRemoved) {
  RunFixture f;
  const std::vector<std::string> stray = {"gone.pak.kvpart", "gone.pak.kvpart.info", "data/x/old.kvpart",
                                          "a.pak.kvpart.info.Ab12_z"};
  const std::vector<std::string> kept = {"a.pak.kvpart.txt", "kvpart", "data/x/b.kvpart.info.old", "notes.txt"};
  for (const std::string& name : stray) writeFile(f.local(name), "s");
  for (const std::string& name : kept) writeFile(f.local(name), "k");
  writeFile(f.root / "outside.kvpart", "o");
  std::filesystem::create_symlink(f.root / "outside.kvpart", f.local("data/link.kvpart"));
  // A link in the place of a listed file's temporary is not written through.
  std::filesystem::create_symlink(f.root / "outside.kvpart", f.local("a.pak.kvpart"));
  f.publish({{"a.pak", "alpha", "ha"}});
  f.run();
  EXPECT_EQ(f.messages().back(), "READY");
  for (const std::string& name : stray) EXPECT_FALSE(exists(f.local(name))) << name;
  for (const std::string& name : kept) EXPECT_EQ(readFile(f.local(name)), "k") << name;
  EXPECT_EQ(readFile(f.root / "outside.kvpart"), "o");
  EXPECT_TRUE(std::filesystem::is_symlink(f.local("data/link.kvpart")));
  EXPECT_EQ(readFile(f.local("a.pak")), "alpha");
}

// A name the file system refuses fails like any file that cannot be opened,
// attempt after attempt, and touches nothing.
TEST(UpdateRun, ANameTooLongForTheFileSystemCannotBeOpened) {
  RunFixture f;
  const std::string name(256, 'n');
  f.publish({{"data/" + name, "n", "hn"}});
  f.run();
  const std::vector<std::string> messages = f.messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[2].rfind("STATUS Connection failed (data/nnn", 0), 0u) << messages[2];
  EXPECT_EQ(messages[3].rfind("ERROR Connection failed (data/nnn", 0), 0u) << messages[3];
  EXPECT_EQ(f.transport.count(f.url("data/" + name)), 0);
  const std::string log = readFile(f.root / "curl_download.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
  EXPECT_NE(log.find("] Cannot open file for writing: " + f.local("data/" + name) + "\n"), std::string::npos) << log;
  ASSERT_EQ(f.dialogs.boxes().size(), 3u);
  EXPECT_EQ(f.dialogs.boxes()[0].text, "Cannot open file for writing.");
  EXPECT_FALSE(exists(f.local("manifest.json")));
}

TEST(UpdateRun, EarlyEndsOfTheRun) {
  struct Case {
    const char* name;
    std::function<void(RunFixture&)> script;
    std::vector<std::string> messages;
    int requests;
    std::string reason;             // of the error report
    std::vector<std::string> log;   // the lines of "curl_download.log", without their time
  };
  const std::string unreachable = "curl_easy_perform error: Couldn't connect to server";
  const Case cases[] = {
      {"outdated launcher",
       [](RunFixture& f) {
         FakeAnswer version;
         version.body = "KVLauncher Version 0.30";
         f.transport.script(kVersionUrl, version);
       },
       {"ERROR Download the new version of KVLauncher"}, 1, "", {}},
      {"no stamp header",
       [](RunFixture& f) {
         f.publish(clientFiles(), "");
       },
       {"ERROR The updater is being prepared for download"}, 2, "the answer carries no Last-Modified stamp", {}},
      {"site unreachable",
       [](RunFixture&) {},
       {"ERROR The updater is being prepared for download"}, 2, unreachable, {unreachable, unreachable}},
      {"untrusted certificate",
       [](RunFixture& f) {
         const FakeAnswer refused{.arrived = false, .errorText = "SSL peer certificate or SSH remote key was not OK"};
         f.transport.script(kVersionUrl, refused);
         f.transport.script(f.url("manifest.php"), refused);
       },
       {"ERROR The updater is being prepared for download"}, 2,
       "curl_easy_perform error: SSL peer certificate or SSH remote key was not OK",
       std::vector<std::string>(2, "curl_easy_perform error: SSL peer certificate or SSH remote key was not OK")},
      {"stamp answered with an error page",
       [](RunFixture& f) {
         f.transport.script(kVersionUrl, FakeAnswer{.body = std::string(kLauncherVersionText)});
         f.transport.script(f.url("manifest.php"), FakeAnswer{.status = 503});
       },
       {"ERROR The updater is being prepared for download"}, 2, "HTTP status code: 503", {"HTTP status code: 503"}},
      {"quick manifest fails",
       [](RunFixture& f) {
         FakeAnswer gone;
         gone.arrived = false;
         f.transport.script(f.url("manifest.php"), FakeAnswer{.lastModified = kStamp1});
         f.transport.script(f.url("manifest.php"), gone);
       },
       {"ERROR Failed to download manifest"}, 3, unreachable, {unreachable, unreachable}},
      {"full manifest fails",
       [](RunFixture& f) {
         FakeAnswer gone;
         gone.arrived = false;
         f.transport.script(f.url("manifest.json"), gone);
         f.publish(clientFiles());
       },
       {"STATUS Checking updates...", "ERROR Failed to download manifest"}, 4, unreachable, {unreachable}},
  };
  for (const Case& c : cases) {
    RunFixture f;
    c.script(f);
    f.run();
    EXPECT_EQ(f.messages(), c.messages) << c.name;
    EXPECT_EQ(static_cast<int>(f.transport.requests.size()), c.requests) << c.name;
    EXPECT_FALSE(exists(f.root / "eu")) << c.name;
    ASSERT_FALSE(f.sink.queuedReports().empty()) << c.name;
    EXPECT_EQ(f.sink.queuedReports().back().reason, c.reason) << c.name;
    std::vector<std::string> log;
    std::istringstream lines(readFile(f.root / "curl_download.log"));
    for (std::string line; std::getline(lines, line);) {
      if (line != "<missing>") log.push_back(line.substr(line.find("] ") + 2));
    }
    EXPECT_EQ(log, c.log) << c.name;
  }
}

TEST(UpdateRun, HostileRemoteManifestsTouchNothing) {
  const char* bodies[] = {
      "<html>404</html>",
      "[1,]",
      R"([{"path":"a"})",
      R"({"path":"a","hash":"h"})",
      R"([{"path":"a.pak","hash":"h","size":"10"}])",
      R"([{"path":"a.pak","hash":"h","size":1e30}])",
      R"([{"path":"ok.pak","hash":"h","size":2},{"path":"../outside/canary.bin","hash":"h"}])",
      R"([{"path":"ok.pak","hash":"h","size":2},{"path":"data/..","hash":"h"}])",
      R"([{"path":"manifest.json","hash":"h"}])",
      R"([{"path":"config/config.kvml","hash":"h"}])",
      R"([{"path":"data","hash":"h"},{"path":"/etc/x","hash":"h"}])",
  };
  for (const char* body : bodies) {
    RunFixture f;
    writeFile(f.root / "outside/canary.bin", "canary");
    writeFile(f.local("data/keep.pak"), "kept");
    writeFile(f.local("config/config.kvml"), "volume: 3\n");
    writeFile(f.local("manifest.json"), "[]");
    const auto before = snapshotTree(f.root.path());
    FakeAnswer manifest;
    manifest.body = body;
    f.transport.script(f.url("manifest.json"), manifest);
    f.publish({{"ok.pak", "ok", "h"}});
    f.run();
    EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...",
                                                      "ERROR Invalid remote manifest format"}))
        << body;
    EXPECT_EQ(snapshotTree(f.root.path()), before) << body;
  }
}

TEST(UpdateRun, AnInvalidLocalManifestStopsTheRun) {
  RunFixture f;
  writeFile(f.local("manifest.json"), R"([{"path":1}])");
  f.publish(clientFiles());
  const auto before = snapshotTree(f.root.path());
  f.run();
  EXPECT_EQ(f.messages(),
            (std::vector<std::string>{"STATUS Checking updates...", "ERROR Invalid local manifest format"}));
  EXPECT_EQ(snapshotTree(f.root.path()), before);
}

TEST(UpdateRun, TheQuickCheckVouchesOnlyForAnInstalledFolder) {
  const std::vector<SiteFile> files = {{"a.pak", "alpha", "ha"}};
  // Nothing installed: the matching reference must not stop the first install.
  RunFixture fresh;
  writeFile(fresh.root / "data/manifest.json", manifestOf(files));
  fresh.publish(files);
  fresh.run();
  EXPECT_EQ(fresh.messages(), (std::vector<std::string>{"STATUS Checking updates...", "READY"}));
  EXPECT_EQ(readFile(fresh.local("a.pak")), "alpha");

  // Installed: the matching reference answers at once and records the stamp.
  RunFixture installed;
  writeFile(installed.root / "data/manifest.json", manifestOf(files));
  writeFile(installed.local("manifest.json"), "[]");
  installed.publish(files);
  installed.run();
  EXPECT_EQ(installed.messages(), std::vector<std::string>{"READY"});
  EXPECT_EQ(installed.transport.count(installed.url("manifest.json")), 0);
  EXPECT_EQ(readFile(installed.local("manifest.meta")), "Last-Modified: " + kStamp1 + "\n");
  EXPECT_EQ(readFile(installed.local("manifest.json")), "[]");
}

TEST(UpdateRun, AFolderInTheWayCannotBeRemoved) {
  RunFixture f;
  writeFile(f.local("data/inner/x"), "x");
  f.publish({{"data/inner", "file", "h"}});
  f.run();
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...",
                                                    "ERROR Failed to remove existing file: inner"}));
  EXPECT_EQ(readFile(f.local("data/inner/x")), "x");
}

TEST(UpdateRun, ABrokenArchiveIsReportedAndNotRecorded) {
  RunFixture f;
  f.publish({{"a.pak", "alpha", "ha"}, {"data/broken.zip", "<html>not a zip</html>", "hz"}});
  f.run();
  EXPECT_EQ(f.messages(), (std::vector<std::string>{
                              "STATUS Checking updates...",
                              "ERROR Failed to extract: broken.zip. Make sure the file is not in use."}));
  EXPECT_FALSE(exists(f.local("manifest.json")));
  EXPECT_FALSE(exists(f.local("manifest.meta")));
}

// An archive that cannot be deleted after it was unpacked only costs disk
// space: it is recorded all the same, and a later comparison does not fetch
// it again.
TEST(UpdateRun, AnArchiveThatCannotBeDeletedIsRecordedAllTheSame) {
  RunFixture f;
  const std::string folder = f.local("sub");
  writeFile(f.local("sub/inner/old.txt"), "already there");  // the archive unpacks into inner/
  FaultInjectingFiles faults;
  const std::vector<SiteFile> files = {{"sub/pack.zip", zipOf({{"inner/packed.txt", "from the pack"}}), "hp"}};
  f.publish(files);
  // Once the archive is in its place, nothing more may be removed from its
  // folder.
  bool locked = false;
  f.context.beforeCheck = [&] {
    if (!locked && exists(f.local("sub/pack.zip"))) {
      faults.lock(folder);
      locked = true;
    }
  };
  f.run();
  EXPECT_TRUE(locked);
  faults.unlock(folder);
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...", "READY"}));
  EXPECT_EQ(readFile(f.local("sub/inner/packed.txt")), "from the pack");
  EXPECT_TRUE(exists(f.local("sub/pack.zip")));
  ManifestMap local;
  ASSERT_TRUE(readLocalManifest(f.root / "eu", local));
  ASSERT_EQ(local.count("sub/pack.zip"), 1u);
  EXPECT_EQ(local.at("sub/pack.zip").hash, "hp");
  EXPECT_EQ(readFile(f.local("manifest.meta")), "Last-Modified: " + kStamp1 + "\n");

  RunFixture g;
  g.context.baseFolder = f.root.path();
  g.runtime.setStoredLastModified(kStamp1);
  g.publish(files, kStamp2);
  g.run();
  EXPECT_EQ(g.messages(), (std::vector<std::string>{"STATUS Checking updates...", "READY"}));
  EXPECT_EQ(g.transport.count(g.url("sub/pack.zip")), 0);
}

TEST(UpdateRun, AnArchiveMayNotOverwriteTheLaunchersOwnFiles) {
  struct Case {
    const char* archivePath;
    std::vector<std::pair<std::string, std::string>> entries;
  };
  const Case cases[] = {
      {"vdclient_gl_x64.zip", {{"game.exe", "exe"}, {"manifest.json", "[]"}}},
      {"pack.zip", {{"manifest.meta", "Last-Modified: forged\n"}}},
      {"pack.zip", {{"config/config.kvml", "volume: 0\n"}}},
      {"pack.zip", {{"CONFIG_BACKUP/x", "x"}}},
  };
  for (const Case& c : cases) {
    RunFixture f;
    writeFile(f.local("config/config.kvml"), "volume: 3\n");
    writeFile(f.local("config_backup/x"), "backup");
    writeFile(f.local("manifest.meta"), "Last-Modified: old\n");
    f.publish({{c.archivePath, zipOf(c.entries), "hz"}});
    f.run();
    EXPECT_EQ(f.messages().back(),
              "ERROR Failed to extract: " + std::string(c.archivePath) + ". Make sure the file is not in use.")
        << c.entries.back().first;
    EXPECT_EQ(readFile(f.local("config/config.kvml")), "volume: 3\n");
    EXPECT_EQ(readFile(f.local("config_backup/x")), "backup");
    EXPECT_EQ(readFile(f.local("manifest.meta")), "Last-Modified: old\n");
    EXPECT_FALSE(exists(f.local("manifest.json")));
    EXPECT_FALSE(exists(f.local("game.exe"))) << "nothing of a refused archive is unpacked";
  }
  // The same names one folder down belong to the client.
  RunFixture f;
  f.publish({{"sub/pack.zip", zipOf({{"manifest.json", "[]"}}), "hz"}});
  f.run();
  EXPECT_EQ(f.messages().back(), "READY");
  EXPECT_EQ(readFile(f.local("sub/manifest.json")), "[]");
}

TEST(UpdateRun, ADuplicatePathIsFetchedOnceWithItsLaterEntry) {
  RunFixture f;
  f.publish({{"a.pak", "one", "1"}, {"a.pak", "two", "2"}});
  f.run();
  EXPECT_EQ(f.transport.count(f.url("a.pak")), 1);
  ManifestMap local;
  ASSERT_TRUE(readLocalManifest(f.root / "eu", local));
  EXPECT_EQ(local.at("a.pak").hash, "2");
}

TEST(UpdateRun, CheckpointsKeepWhatWasRecordedBeforeAnInterruption) {
  // Checkpoints count the bytes of completed files, the file that completes
  // the 10 MiB included; bytes still in flight or of failed attempts count
  // for nothing.
  RunFixture f;
  const std::string big(kCheckpointBytes, 'b');
  FakeAnswer halfway;
  halfway.body = "4";
  halfway.progressSteps = {11 * 1024 * 1024};
  FakeAnswer broken;
  broken.status = 500;
  broken.progressSteps = {11 * 1024 * 1024};
  f.transport.script(f.url("f2"), halfway);
  f.transport.script(f.url("f3"), broken);
  f.publish({{"f1", big, "h1"}, {"f2", "4", "h2"}, {"f3", "3", "h3"}});
  f.run();
  ASSERT_EQ(f.messages().back(), "ERROR Connection failed (f3) after 3 attempts");
  ManifestMap local;
  ASSERT_TRUE(readLocalManifest(f.root / "eu", local));
  // The checkpoint written when f1 completed lists f1; the journal adds f2,
  // which arrived after it. f3 never arrived.
  ASSERT_EQ(local.size(), 2u);
  EXPECT_EQ(local.count("f1"), 1u);
  EXPECT_EQ(local.count("f2"), 1u);
  ManifestMap checkpoint;
  ASSERT_TRUE(readRemoteManifest(readFile(f.local("manifest.json")), "", checkpoint));
  EXPECT_EQ(checkpoint.size(), 1u) << "the checkpoint itself lists f1 alone";
  EXPECT_FALSE(exists(f.local("manifest.meta")));
}

TEST(UpdateRun, ReportsCarryTheServerOfTheWorker) {
  RunFixture f(2);
  f.publish({{"a.pak", "alpha", "ha"}});
  f.run();
  EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...", "READY"}));
  EXPECT_EQ(readFile(f.root / "us/a.pak"), "alpha");
  EXPECT_EQ(f.transport.requests[1].url, kBase + "us/manifest.php");
}

TEST(UpdateRun, BothServersRunAtOnceSharingOnlyTheLog) {
  RunFixture eu(1);
  RunFixture us(2);
  us.context.baseFolder = eu.root.path();
  std::vector<SiteFile> files;
  for (int i = 0; i < 20; ++i) files.push_back({"f" + std::to_string(i) + ".pak", std::string(100 + i, 'x'), "h"});
  FakeAnswer failure;
  failure.status = 500;
  for (RunFixture* f : {&eu, &us}) {
    for (const SiteFile& file : files) {
      f->transport.script(f->url(file.path), failure);
      f->transport.script(f->url(file.path), FakeAnswer{.body = file.content});
    }
    f->publish(files);
  }
  std::thread euThread([&eu] { eu.run(); });
  std::thread usThread([&us] { us.run(); });
  euThread.join();
  usThread.join();
  for (RunFixture* f : {&eu, &us}) {
    EXPECT_EQ(f->messages().back(), "READY") << f->folder;
    EXPECT_EQ(f->messages().size(), 2u + files.size()) << f->folder;
    ManifestMap local;
    ASSERT_TRUE(readLocalManifest(eu.root / f->folder, local));
    EXPECT_EQ(local.size(), files.size());
  }
  const std::string log = readFile(eu.root / "curl_download.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2 * static_cast<long>(files.size()));
}

// The run with every kind of check: three files, one retry.
void scriptRunWithRetry(RunFixture& f) {
  FakeAnswer failure;
  failure.status = 500;
  f.transport.script(f.url("b.pak"), failure);
  f.transport.script(f.url("b.pak"), FakeAnswer{.body = "bravo"});
  f.publish({{"a.pak", "alpha", "ha"}, {"b.pak", "bravo", "hb"}, {"c/p.zip", zipOf({{"x", "y"}}), "hp"}});
}

TEST(UpdateRun, ACancelAtAnyCheckEndsTheRunSilently) {
  int checks = 0;
  {
    RunFixture f;
    scriptRunWithRetry(f);
    f.context.beforeCheck = [&checks] { ++checks; };
    f.run();
    ASSERT_EQ(f.messages().back(), "READY");
  }
  ASSERT_GT(checks, 15);
  for (int k = 1; k <= checks; ++k) {
    RunFixture f;
    scriptRunWithRetry(f);
    int seen = 0;
    std::size_t postedBeforeCancel = 0;
    f.context.beforeCheck = [&] {
      if (++seen == k) {
        f.worker.cancel = true;
        postedBeforeCancel = f.sink.queuedReports().size();
      }
    };
    f.run();
    EXPECT_EQ(f.sink.queuedReports().size(), postedBeforeCancel) << "posted after the cancel at check " << k;
    EXPECT_FALSE(exists(f.local("manifest.json"))) << k;
    EXPECT_FALSE(exists(f.local("manifest.meta"))) << k;

    // A later run finishes the work.
    RunFixture again;
    again.context.baseFolder = f.root.path();
    scriptRunWithRetry(again);
    again.run();
    EXPECT_EQ(again.messages().back(), "READY") << k;
    EXPECT_EQ(readFile(f.local("c/x")), "y") << k;
  }
}

TEST(UpdateRun, ACancelDuringATransferStopsItQuietly) {
  RunFixture f;
  f.publish({{"a.pak", "alpha", "ha"}, {"b.pak", "bravo", "hb"}});
  f.transport.onRequest = [&f](const testing::FakeRequest& request) {
    if (request.url == f.url("a.pak")) f.worker.cancel = true;
  };
  f.run();
  EXPECT_EQ(f.messages(), std::vector<std::string>{"STATUS Checking updates..."});
  EXPECT_TRUE(f.dialogs.boxes().empty());
  EXPECT_EQ(f.transport.count(f.url("b.pak")), 0);
  EXPECT_FALSE(exists(f.local("manifest.json")));
}

TEST(UpdateRun, TheOutdatedLauncherIsReportedEvenWhenCancelled) {
  RunFixture f;
  FakeAnswer version;
  version.body = "KVLauncher Version 1.0";
  f.transport.script(kVersionUrl, version);
  f.transport.onRequest = [&f](const testing::FakeRequest&) { f.worker.cancel = true; };
  f.run();
  EXPECT_EQ(f.messages(), std::vector<std::string>{"ERROR Download the new version of KVLauncher"});
}

class ThrowingTransport : public FakeHttpTransport {
 public:
  bool getText(const std::string&, std::size_t, std::string&) override { throw std::runtime_error("boom"); }
};

TEST(UpdateRun, NoExceptionLeavesTheRun) {
  RunFixture f;
  ThrowingTransport throwing;
  FakeAnswer version;
  version.body = std::string(kLauncherVersionText);
  throwing.script(kVersionUrl, version);
  throwing.script(f.url("manifest.php"), FakeAnswer{.lastModified = kStamp1});
  f.context.transport = &throwing;
  EXPECT_NO_THROW(f.run());
  EXPECT_TRUE(f.messages().empty());
}

}  // namespace
}  // namespace kv::updater

namespace kv::updater {
namespace {

// A failure that outlasts the others' retries is told for one file only:
// three boxes, three log lines, its retry texts, then the final text.
TEST(UpdateRun, WhenEveryFileFailsOneFileIsToldAsOneAtATimeWouldTellIt) {
  for (const int width : {1, 4, 8}) {
    SCOPED_TRACE(width);
    RunFixture f;
    f.transport.engineWidth = width;
    std::vector<SiteFile> files;
    FakeAnswer missing;
    missing.status = 404;
    for (int i = 0; i < 6; ++i) {
      files.push_back({"f" + std::to_string(i) + ".pak", "x", "h"});
      f.transport.script(f.url(files.back().path), missing);
    }
    f.publish(files);
    f.run();
    const std::vector<std::string> messages = f.messages();
    ASSERT_EQ(messages.size(), 4u);
    const std::string file = messages[1].substr(messages[1].find('(') + 1, 6);
    EXPECT_EQ(messages[1], "STATUS Connection failed (" + file + "), retrying... (1/3)");
    EXPECT_EQ(messages[2], "STATUS Connection failed (" + file + "), retrying... (2/3)");
    EXPECT_EQ(messages[3], "ERROR Connection failed (" + file + ") after 3 attempts");
    EXPECT_EQ(f.dialogs.boxes().size(), 3u);
    const std::string log = readFile(f.root / "curl_download.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
  }
}

// A file listed on its own and also held by an archive: the listed file
// owns its path whatever the order of arrival and the width, the archive's
// other entries are unpacked, and the record matches the disk.
TEST(UpdateRun, AListedFileOwnsItsPathOverArchiveEntries) {
  const std::string pack = zipOf({{"bin/x.dat", "from the archive"},
                                  {"small", "a file where a listed folder is"},
                                  {"keep.txt/inner", "below a listed file"},
                                  {"other.txt", "only in the archive"}});
  for (const int width : {1, 2, 4, 8}) {
    for (const bool archiveFirst : {true, false}) {
      SCOPED_TRACE(std::to_string(width) + (archiveFirst ? " archive first" : " archive last"));
      RunFixture f;
      f.transport.engineWidth = width;
      std::vector<SiteFile> files = {{"bin/x.dat", "listed bytes", "hx"},
                                     {"small/y.txt", "listed in a folder", "hy"},
                                     {"keep.txt", "listed", "hk"}};
      files.insert(archiveFirst ? files.begin() : files.end(), SiteFile{"a.zip", pack, "hz"});
      f.publish(files);
      f.run();
      ASSERT_EQ(f.messages().back(), "READY");
      EXPECT_EQ(readFile(f.local("bin/x.dat")), "listed bytes");
      EXPECT_EQ(readFile(f.local("small/y.txt")), "listed in a folder");
      EXPECT_EQ(readFile(f.local("keep.txt")), "listed");
      EXPECT_EQ(readFile(f.local("other.txt")), "only in the archive");
      ManifestMap local;
      ASSERT_TRUE(readLocalManifest(f.root / "eu", local));
      EXPECT_EQ(local.at("bin/x.dat").hash, "hx");
      UnpackedFiles unpacked;
      ASSERT_TRUE(readUnpackedRecord(f.local(""), unpacked));
      ASSERT_EQ(unpacked.size(), 1u);
      EXPECT_EQ(unpacked.begin()->first, "other.txt");
      EXPECT_EQ(unpacked.begin()->second.archive, "a.zip");
    }
  }
}

// Holds the creation of one file until released (or a time-out passed).
class HeldCreation : public platform::FileFaults {
 public:
  explicit HeldCreation(std::string ending) : ending_(std::move(ending)) { previous_ = platform::installFileFaults(this); }
  ~HeldCreation() override { platform::installFileFaults(previous_); }
  HeldCreation(const HeldCreation&) = delete;
  HeldCreation& operator=(const HeldCreation&) = delete;

  platform::FileFault before(platform::FileOperation operation, const std::string& path, const std::string&) override {
    if (operation == platform::FileOperation::Create && path.ends_with(ending_)) {
      std::unique_lock<std::mutex> lock(mutex_);
      held_ = true;
      releasedInTime_ = released_.wait_for(lock, std::chrono::seconds(20), [this] { return release_; });
    }
    return platform::FileFault::None;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = true;
    released_.notify_all();
  }
  bool heldAndReleasedInTime() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_ && releasedInTime_;
  }

 private:
  std::string ending_;
  platform::FileFaults* previous_ = nullptr;
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  bool release_ = false;
  bool releasedInTime_ = false;
};

// An archive unpacks beside the transfers: while its unpacking is held, the
// files after it are still fetched and put in place.
TEST(UpdateRun, TransfersGoOnWhileAnArchiveUnpacks) {
  RunFixture f;
  f.transport.engineWidth = 4;
  std::vector<SiteFile> files = {{"a.zip", zipOf({{"packed.txt", "from the pack"}}), "hz"}};
  for (int i = 0; i < 12; ++i) files.push_back({"s" + std::to_string(i) + ".pak", "small", "h"});
  f.publish(files);
  HeldCreation held("/eu/packed.txt");
  f.transport.onRequest = [&](const testing::FakeRequest& request) {
    if (request.url == f.url("s11.pak")) held.release();
  };
  f.run();
  EXPECT_TRUE(held.heldAndReleasedInTime()) << "the last small file was not asked for while the archive unpacked";
  EXPECT_EQ(f.messages().back(), "READY");
  EXPECT_EQ(readFile(f.local("packed.txt")), "from the pack");
  EXPECT_EQ(readFile(f.local("s11.pak")), "small");
}

// Killed after a file took its place but before the manifest was written
// again, then the site went back to the release before: the journal keeps
// the record from claiming the older hash for the newer bytes.
TEST(UpdateRun, AfterAKillAndARollbackTheNewerBytesAreReplaced) {
  RunFixture first;
  const std::vector<SiteFile> release1 = {{"a.pak", "one", "h1"}, {"b.pak", "bee", "hb1"}};
  first.publish(release1);
  first.run();
  ASSERT_EQ(first.messages().back(), "READY");

  RunFixture killed;
  killed.context.baseFolder = first.root.path();
  killed.publish({{"a.pak", "two", "h2"}, {"b.pak", "bee two", "hb2"}}, kStamp2);
  killed.transport.onRequest = [&killed](const testing::FakeRequest& request) {
    if (request.url == killed.url("b.pak")) killed.worker.cancel = true;
  };
  killed.run();
  ASSERT_EQ(readFile(first.local("a.pak")), "two");
  ASSERT_TRUE(exists(first.local("update.journal")));

  RunFixture rolledBack;
  rolledBack.context.baseFolder = first.root.path();
  rolledBack.runtime.setStoredLastModified(kStamp1);
  rolledBack.publish(release1, "Wed, 09 Dec 2026 10:00:00 GMT");
  rolledBack.run();
  EXPECT_EQ(rolledBack.messages().back(), "READY");
  EXPECT_EQ(readFile(first.local("a.pak")), "one");
  EXPECT_EQ(rolledBack.transport.count(rolledBack.url("a.pak")), 1);
  EXPECT_FALSE(exists(first.local("update.journal"))) << "the final write holds its notes";
}

// One updater at a time per server folder: a second one ends with a clear
// text or waits, as its caller chose.
TEST(UpdateRun, ASecondUpdaterOfTheSameFolderEndsOrWaits) {
  for (const bool wait : {false, true}) {
    SCOPED_TRACE(wait);
    RunFixture f;
    f.context.waitForOtherUpdate = wait;
    f.publish({{"a.pak", "alpha", "ha"}});
    ASSERT_TRUE(platform::makeFolders(f.local("")));
    platform::LockOutcome outcome = platform::LockOutcome::Failed;
    platform::File other = platform::lockExclusively(f.local("update.lock"), outcome);
    ASSERT_EQ(outcome, platform::LockOutcome::Taken);
    std::thread release([&other, wait] {
      if (!wait) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      (void)other.close();
    });
    f.run();
    release.join();
    if (wait) {
      EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...",
                                                        "STATUS Another update of eu is running",
                                                        "STATUS Checking updates...", "READY"}));
      EXPECT_EQ(readFile(f.local("a.pak")), "alpha");
    } else {
      EXPECT_EQ(f.messages(), (std::vector<std::string>{"STATUS Checking updates...",
                                                        "ERROR Another update of eu is running"}));
      EXPECT_FALSE(exists(f.local("a.pak")));
    }
  }
}

}  // namespace
}  // namespace kv::updater

namespace kv::updater {
namespace {

std::string sha256Hex(std::string_view bytes) {
  platform::Sha256 digest;
  digest.add(bytes.data(), bytes.size());
  return digest.finishHex();
}

// Bytes that look like compressed game data: a fixed pseudo-random stream.
std::string noise(std::size_t size, std::uint64_t seed) {
  std::string bytes(size, '\0');
  std::uint64_t state = seed;
  for (char& c : bytes) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    c = static_cast<char>(state >> 56);
  }
  return bytes;
}

// A version of a large file with its index as the publisher writes it.
struct Version {
  std::string bytes;
  std::string hash;
  delta::IndexFiles index;

  explicit Version(std::string content) : bytes(std::move(content)), hash(sha256Hex(bytes)) {
    index = delta::buildIndex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::array<std::uint8_t, 32> digest{};
    platform::Sha256 sha;
    sha.add(bytes.data(), bytes.size());
    EXPECT_TRUE(sha.finish(digest));
    std::copy(digest.begin(), digest.end(), index.head.begin() + 40);
  }
  std::string headPath() const { return delta::indexHeadPath(hash); }
  // The manifest element's "index" value for a head.
  static std::string indexJson(const std::string& path, const std::string& head) {
    return R"({"path":")" + path + R"(","hash":")" + sha256Hex(head) + R"(","size":)" + std::to_string(head.size()) +
           "}";
  }
  SiteFile siteFile(const std::string& path) const { return {path, bytes, hash, indexJson(headPath(), index.head)}; }
};

// A changed large file is put together from what is installed (an older
// version of it, or another file) and byte ranges of its URL (also the
// chunks a source no longer holds as its head says); whatever else goes
// wrong (a site without ranges, no index or a wrong one, an assembled file
// of the wrong hash), the file is fetched whole with a log line. The right
// bytes land in every case.
TEST(UpdateRun, DeltaUpdatesTakeLocalBytesOrFallBackToTheWholeFile) {
  // v1, then v2 (a rewrite and an insertion), then v3 (another rewrite).
  std::string bytes = noise(3 << 20, 1);
  const Version v1(bytes);
  bytes.replace(1 << 20, 40000, noise(40000, 2));
  bytes.insert(200000, noise(10000, 3));
  const Version v2(bytes);
  bytes.replace(5 << 19, 30000, noise(30000, 4));
  const Version v3(bytes);
  // An index that names v3's hash but lays out v2: it puts v2 together.
  std::string lyingHead = v2.index.head;
  std::array<std::uint8_t, 32> v3Digest{};
  for (std::size_t i = 0; i < 32; ++i) v3Digest[i] = static_cast<std::uint8_t>(std::stoi(v3.hash.substr(2 * i, 2), nullptr, 16));
  std::copy(v3Digest.begin(), v3Digest.end(), lyingHead.begin() + 40);

  struct Case {
    const char* label;
    const Version* installed;  // at "pack.bin" (or "old.bin" for another file), without a stored head unless said
    bool anotherFile = false;  // installed as "old.bin" with its head stored; the site lists "pack.bin" beside it
    std::function<void(RunFixture&, SiteFile&)> spoil;  // changes the site
    std::string logged;        // what the log says ("": nothing)
    bool delta = true;         // the file came in ranges, not whole
  };
  const auto none = [](RunFixture&, SiteFile&) {};
  const Case cases[] = {
      {"the previous version", &v2, false, none, "", true},
      {"an older version", &v1, false, none, "", true},
      {"another installed file", &v3, true, none, "", true},
      {"a site that ignores ranges", &v2, false,
       [&](RunFixture& f, SiteFile&) { f.transport.serve(f.url("pack.bin"), {v3.bytes, "\"e3\"", true}); },
       "(the site does not answer byte ranges)", false},
      {"no index on the site", &v2, false,
       [&](RunFixture& f, SiteFile&) { f.transport.serve(f.url(v3.headPath()), {"", "\"0\""}); },
       "(the index is not the one the manifest lists)", false},
      {"an index of another file", &v2, false,
       [&](RunFixture& f, SiteFile& file) {
         file.index = Version::indexJson(v3.headPath(), v1.index.head);
         f.transport.serve(f.url(v3.headPath()), {v1.index.head});
       },
       "(the index describes another file)", false},
      {"an assembled file of the wrong hash", &v2, false,
       [&](RunFixture& f, SiteFile& file) {
         file.index = Version::indexJson(v3.headPath(), lyingHead);
         f.transport.serve(f.url(v3.headPath()), {lyingHead});
       },
       "(the assembled file does not match its hash)", false},
      {"an installed file unlike its head", &v2, false,
       [&](RunFixture& f, SiteFile&) {
         // v2's head is stored, but a byte of the file on disk has changed.
         writeFile(storedHeadPath(f.local(""), v2.hash), v2.index.head);
         std::string damaged = v2.bytes;
         damaged[500000] = static_cast<char>(damaged[500000] ^ 1);  // where v3 is unchanged
         writeFile(f.local("pack.bin"), damaged);
       },
       "", true},  // the changed chunk is fetched
      {"an installed file unlike its head, found while the ranges come", &v2, false,
       [&](RunFixture& f, SiteFile&) {
         writeFile(storedHeadPath(f.local(""), v2.hash), v2.index.head);
         std::string damaged = v2.bytes;
         damaged[500000] = static_cast<char>(damaged[500000] ^ 1);
         writeFile(f.local("pack.bin"), damaged);
         // The first range is answered once the local chunks, the damaged
         // one among them, have been copied (the file's end is in place).
         const std::string part = f.local("pack.bin.kvpart");
         const std::string tail = v3.bytes.substr(v3.bytes.size() - 64);
         f.transport.onRequest = [&f, part, tail](const testing::FakeRequest& request) {
           if (request.url != f.url("pack.bin") || request.rangeTo < 0) return;
           for (int i = 0; i < 1000; ++i) {
             const std::string written = exists(part) ? readFile(part) : "";
             if (written.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), written.rbegin())) return;
             std::this_thread::sleep_for(std::chrono::milliseconds(10));
           }
         };
       },
       "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RunFixture f;
    const std::string installedPath = c.anotherFile ? "old.bin" : "pack.bin";
    SiteFile installed = c.installed->siteFile(installedPath);
    writeFile(f.local(installedPath), c.installed->bytes);
    if (c.anotherFile) writeFile(storedHeadPath(f.local(""), c.installed->hash), c.installed->index.head);
    writeFile(f.local("manifest.json"), manifestOf({installed}));
    SiteFile wanted = v3.siteFile("pack.bin");
    f.transport.serve(f.url("pack.bin"), {v3.bytes, "\"e3\""});
    f.transport.serve(f.url(v3.headPath()), {v3.index.head});
    f.transport.serve(f.url(delta::fineFilePath(v3.headPath())), {v3.index.fine, "\"f3\""});
    c.spoil(f, wanted);
    std::vector<SiteFile> site = {wanted};
    if (c.anotherFile) site.push_back(installed);
    f.publish(site);
    std::int64_t fetched = -1;
    f.context.onFetched = [&fetched](std::int64_t received) { fetched = received; };
    f.run();
    EXPECT_EQ(f.messages().back(), "READY");
    EXPECT_TRUE(readFile(f.local("pack.bin")) == v3.bytes) << "the new version is in place";
    EXPECT_FALSE(exists(f.local("pack.bin.kvpart")));
    const std::string log = exists(f.root / "curl_download.log") ? readFile(f.root / "curl_download.log") : "";
    if (c.logged.empty()) {
      EXPECT_EQ(log, "");
    } else {
      EXPECT_NE(log.find("Delta update of pack.bin not possible " + c.logged), std::string::npos) << log;
    }
    int slices = 0;
    for (const auto& request : f.transport.requests) {
      slices += request.url == f.url("pack.bin") && request.rangeTo >= 0 ? 1 : 0;
    }
    const auto size = static_cast<std::int64_t>(v3.bytes.size());
    if (c.delta) {
      EXPECT_EQ(slices > 0, !c.anotherFile) << "only changed bytes are fetched";
      EXPECT_LT(f.transport.downloadedBytes, size / 2) << "fetched in ranges";
      EXPECT_EQ(f.transport.count(f.url("pack.bin")), slices) << "no whole fetch";
      EXPECT_GT(fetched, 0);
      EXPECT_LT(fetched, size / 2);
    } else {
      EXPECT_GE(f.transport.downloadedBytes, size) << "fetched whole";
    }
    // The head of what is installed is kept, and only that.
    const bool indexTaken = c.logged.find("the index") == std::string::npos;
    std::vector<std::string> heads;
    for (const auto& [name, content] : snapshotTree(f.local("kvindex"))) heads.push_back(name);
    EXPECT_EQ(heads, indexTaken ? std::vector<std::string>{v3.hash + ".kvi"} : std::vector<std::string>{});
  }

  // A cancel while the ranges come ends the run without a word: the old
  // version stays, and no temporary.
  RunFixture f;
  writeFile(f.local("pack.bin"), v2.bytes);
  writeFile(f.local("manifest.json"), manifestOf({v2.siteFile("pack.bin")}));
  f.transport.serve(f.url("pack.bin"), {v3.bytes, "\"e3\""});
  f.transport.serve(f.url(v3.headPath()), {v3.index.head});
  f.transport.serve(f.url(delta::fineFilePath(v3.headPath())), {v3.index.fine, "\"f3\""});
  f.publish({v3.siteFile("pack.bin")});
  f.transport.onRequest = [&f](const testing::FakeRequest& request) {
    if (request.url == f.url("pack.bin")) f.worker.cancel = true;
  };
  f.run();
  EXPECT_EQ(f.messages(), std::vector<std::string>{"STATUS Checking updates..."});
  EXPECT_TRUE(readFile(f.local("pack.bin")) == v2.bytes);
  EXPECT_FALSE(exists(f.local("pack.bin.kvpart")));
  EXPECT_EQ(f.transport.count(f.url("pack.bin")), 1);
}

}  // namespace
}  // namespace kv::updater
