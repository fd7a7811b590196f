// Update runs over broken local state: corrupt local manifests and
// Last-Modified records, files that went missing, a shared quick-check
// reference, a server folder that is a file, a file that cannot be removed,
// and the state a run leaves when it dies between its last two writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "support/fault_injecting_files.h"
#include "update_harness.h"
#include "updater/manifest.h"

namespace kv::test {
namespace {

using Events = std::vector<std::string>;
const Events kInstalled = {"STATUS Checking updates...", "READY"};

class LocalState : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(sandbox_.client(1) + "/a.pak", "hello");
    writeFile(sandbox_.client(1) + "/data/b.pak", "world!");
    sandbox_.publish(1);
    std::string error;
    ASSERT_TRUE(nginx_.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
  }
  RecordedRun run(const std::string& base) {
    return runUpdateOnce(nginx_.hostPort(), testCertificates().caFile, base);
  }
  // A base folder with a complete installation of the published client.
  std::string installed(const std::string& name) {
    const std::string base = sandbox_.install() + "/" + name;
    EXPECT_EQ(run(base).events(), kInstalled);
    return base;
  }
  std::vector<std::string> requests() { return requestPaths(nginx_.requests()); }
  std::vector<std::string> fileRequests() {
    std::vector<std::string> out;
    for (const auto& path : requests()) {
      if (path != "/download/updater.php" && path.find("/manifest.") == std::string::npos) out.push_back(path);
    }
    return out;
  }

  Sandbox sandbox_;
  NginxServer nginx_;
};

TEST_F(LocalState, CorruptLocalManifestsStopTheRunWithoutDamage) {
  const std::vector<std::pair<std::string, std::string>> bodies = {
      {"truncated", "[{\"hash\": \"x\", \"path\": \"a.pak\""},
      {"binary", std::string("\x00\x01\x02\xff\xfe", 5)},
      {"object", "{}"},
      {"numeric path", "[{\"path\":1,\"hash\":\"h\"}]"},
      {"text size", "[{\"path\":\"a.pak\",\"hash\":\"h\",\"size\":\"5\"}]"},
      {"unsafe path", "[{\"path\":\"../outside/canary.bin\",\"hash\":\"h\",\"size\":1}]"},
  };
  for (const auto& [name, body] : bodies) {
    SCOPED_TRACE(name);
    const std::string base = sandbox_.install() + "/" + name;
    writeFile(base + "/eu/manifest.json", body);
    writeFile(base + "/eu/data/b.pak", "old");
    const auto before = snapshotTree(base);
    const auto outside = sandbox_.snapshotOutside();
    EXPECT_EQ(run(base).events(), (Events{"STATUS Checking updates...", "ERROR Invalid local manifest format"}));
    EXPECT_EQ(snapshotTree(base), before);
    EXPECT_EQ(sandbox_.snapshotOutside(), outside);
  }
}

TEST_F(LocalState, LocalManifestWithBomOrCrLfStillReads) {
  for (const std::string prefix : {"\xef\xbb\xbf", ""}) {
    const std::string base = installed(prefix.empty() ? "crlf" : "bom");
    const std::string path = base + "/eu/manifest.json";
    std::string text = readFile(path);
    std::string crlf;
    for (char c : text) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    writeFile(path, prefix + (prefix.empty() ? crlf : text));
    ::unlink((base + "/eu/manifest.meta").c_str());
    nginx_.clearRequests();
    EXPECT_EQ(run(base).events(), kInstalled);
    EXPECT_TRUE(fileRequests().empty());
  }
}

// The record can only cost a check, never give a false "ready".
TEST_F(LocalState, OddLastModifiedRecords) {
  const std::string stamp = sandbox_.quickStamp(1);
  const struct {
    std::string name;
    std::string content;
    bool trusted;  // the stamp is recognised: two requests, then ready
  } cases[] = {
      {"lower case key", "last-modified: " + stamp + "\n", false},
      {"blanks around", "  \tLast-Modified:    " + stamp + "   \n", true},
      {"no value", "Last-Modified:\n", false},
      {"huge line", std::string(1 << 20, 'x') + "\n", false},
      {"binary", std::string("\x00\xff\x01Last", 7), false},
      {"no line end", "Last-Modified: " + stamp, true},
      {"crlf", "Last-Modified: " + stamp + "\r\n", true},
      {"stale stamp", "Last-Modified: Thu, 01 Jan 1970 00:00:00 GMT\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = installed("meta-" + std::to_string(&c - cases));
    writeFile(base + "/eu/manifest.meta", c.content);
    nginx_.clearRequests();
    EXPECT_EQ(run(base).events(), c.trusted ? Events{"READY"} : kInstalled);
    EXPECT_EQ(requests().size(), c.trusted ? 2u : 4u);
    EXPECT_TRUE(fileRequests().empty());
    if (!c.trusted) {
      EXPECT_EQ(readFile(base + "/eu/manifest.meta"), "Last-Modified: " + stamp + "\n");
    }
  }
  // A folder where the record belongs: the run still completes.
  const std::string base = installed("meta-folder");
  ::unlink((base + "/eu/manifest.meta").c_str());
  ASSERT_EQ(::mkdir((base + "/eu/manifest.meta").c_str(), 0755), 0);
  EXPECT_EQ(run(base).events(), kInstalled);
  EXPECT_EQ(run(base).events(), kInstalled);
}

// An unchanged stamp means ready without looking at the disk, even when an
// installed file went missing.
// Every run, also with an unchanged stamp, finds the installed files that
// went missing, shrank or grew, or became an empty folder, and fetches only
// those again; a whole installation still costs two requests.
TEST_F(LocalState, DamagedFilesAreFetchedAgainWithAnUnchangedStamp) {
  const struct {
    const char* name;
    std::function<void(const std::string& file)> spoil;
  } cases[] = {
      {"deleted", [](const std::string& file) { ::unlink(file.c_str()); }},
      {"truncated", [](const std::string& file) { ::truncate(file.c_str(), 2); }},
      {"grown", [](const std::string& file) { writeFile(file, "world!!"); }},
      {"empty folder",
       [](const std::string& file) {
         ::unlink(file.c_str());
         std::filesystem::create_directory(file);
       }},
  };
  for (const auto& c : cases) {
    const std::string base = installed(c.name);
    c.spoil(base + "/eu/data/b.pak");
    nginx_.clearRequests();
    EXPECT_EQ(run(base).events(), kInstalled) << c.name;
    EXPECT_EQ(requests(), (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php",
                                                    "/download/eu/manifest.json", "/download/eu/data/b.pak"}))
        << c.name;
    expectConverged(sandbox_, base, 1, "vdclient_gl_x64", sandbox_.quickStamp(1));
    nginx_.clearRequests();
    EXPECT_EQ(run(base).events(), (Events{"READY"})) << c.name;
    EXPECT_EQ(requests().size(), 2u) << c.name;
  }
}

// The quick-check reference lies in the working folder and is shared by
// both servers: it only vouches for a server folder that holds an
// installation.
TEST_F(LocalState, QuickCheckReferenceNeedsAnInstallation) {
  const std::string published = readFile(sandbox_.site() + "/download/eu/manifest.php");
  const std::string fresh = sandbox_.install() + "/quick-fresh";
  writeFile(fresh + "/data/manifest.json", published);
  EXPECT_EQ(run(fresh).events(), kInstalled);
  expectConverged(sandbox_, fresh, 1, "vdclient_gl_x64", sandbox_.quickStamp(1));

  const std::string base = installed("quick-installed");
  writeFile(base + "/data/manifest.json", published);
  const std::string quick = sandbox_.site() + "/download/eu/manifest.php";
  setMtime(quick, mtimeOf(quick) + 50);
  nginx_.clearRequests();
  EXPECT_EQ(run(base).events(), (Events{"READY"}));
  EXPECT_EQ(requests(), (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php",
                                                  "/download/eu/manifest.php"}));
  EXPECT_EQ(readFile(base + "/eu/manifest.meta"), "Last-Modified: " + sandbox_.quickStamp(1) + "\n");
}

TEST_F(LocalState, ServerFolderThatIsAFile) {
  const std::string base = sandbox_.install() + "/file";
  writeFile(base + "/eu", "not a folder");
  const RecordedRun r = run(base);
  EXPECT_EQ(r.events(), (Events{"STATUS Checking updates...", "STATUS Connection failed (a.pak), retrying... (1/3)",
                                "STATUS Connection failed (a.pak), retrying... (2/3)",
                                "ERROR Connection failed (a.pak) after 3 attempts"}));
  ASSERT_EQ(r.boxes.size(), 3u);
  EXPECT_EQ(r.boxes[0], (std::pair<std::string, std::string>{"Error", "Cannot open file for writing."}));
  EXPECT_NE(readFile(base + "/curl_download.log").find("] Cannot open file for writing: " + base + "/eu/a.pak\n"),
            std::string::npos);
  EXPECT_EQ(readFile(base + "/eu"), "not a folder");
}

// An old copy that cannot be removed stops the run before anything is
// recorded; once it can be removed, the next run completes.
TEST_F(LocalState, OldCopyThatCannotBeRemoved) {
  const std::string base = installed("locked");
  writeFile(sandbox_.client(1) + "/a.pak", "hello again");
  sandbox_.publish(1);
  const std::string manifestBefore = readFile(base + "/eu/manifest.json");
  const std::string old = base + "/eu/a.pak";
  ::unlink(old.c_str());
  writeFile(old + "/inside.txt", "a folder where the file was");
  EXPECT_EQ(run(base).events(), (Events{"STATUS Checking updates...", "ERROR Failed to remove existing file: a.pak"}));
  EXPECT_EQ(readFile(base + "/eu/manifest.json"), manifestBefore);
  EXPECT_EQ(readFile(old + "/inside.txt"), "a folder where the file was");
  std::filesystem::remove_all(old);
  EXPECT_EQ(run(base).events(), kInstalled);
  expectConverged(sandbox_, base, 1, "vdclient_gl_x64", sandbox_.quickStamp(1));
}

// The same with an old copy that cannot be replaced, as an immutable flag
// keeps it.
TEST_F(LocalState, ImmutableOldCopy) {
  const std::string base = installed("immutable");
  writeFile(sandbox_.client(1) + "/a.pak", "hello again");
  sandbox_.publish(1);
  const std::string old = base + "/eu/a.pak";
  FaultInjectingFiles faults;
  faults.lock(old);
  const std::string manifestBefore = readFile(base + "/eu/manifest.json");
  EXPECT_EQ(run(base).events(), (Events{"STATUS Checking updates...", "ERROR Failed to remove existing file: a.pak"}));
  EXPECT_EQ(readFile(base + "/eu/manifest.json"), manifestBefore);
  EXPECT_EQ(readFile(old), "hello");
  faults.unlock(old);
  EXPECT_EQ(run(base).events(), kInstalled);
  expectConverged(sandbox_, base, 1, "vdclient_gl_x64", sandbox_.quickStamp(1));
}

// A run that died after writing the final local manifest but before the
// record: the next run finds nothing to fetch and records the stamp.
TEST_F(LocalState, DeathBetweenManifestAndRecord) {
  const std::string base = installed("between");
  writeFile(base + "/eu/manifest.meta", "Last-Modified: an older stamp\n");
  nginx_.clearRequests();
  EXPECT_EQ(run(base).events(), kInstalled);
  EXPECT_TRUE(fileRequests().empty());
  expectConverged(sandbox_, base, 1, "vdclient_gl_x64", sandbox_.quickStamp(1));
}

}  // namespace
}  // namespace kv::test
