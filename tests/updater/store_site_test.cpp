// The launcher against a site published into an object store: kvpublish
// writes into the moto S3 server, nginx with the test CA stands in for the
// CDN in front of it, kvupdate installs and updates from there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <filesystem>

#include "file_hash.h"
#include "fixtures/moto_store.h"
#include "kvpublish/s3_store.h"
#include "update_harness.h"
#include "updater/download_resume.h"

namespace kv::test {
namespace {

constexpr int kToolTimeoutMs = 120000;

std::string binary(const std::string& name) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/" + name;
}

std::string headlessBuild() { return sizeof(void*) == 8 ? "vdclient_dx_x64" : "vdclient_dx_x86"; }

// Bytes that differ from position to position, so a splice shows.
std::string pattern(std::size_t size, char seed) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + i / 4099 + seed) & 0xFF);
  return out;
}

class StoreSite : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(moto_.start(sandbox_.state("moto"), error)) << error;
    NginxOptions options;
    options.proxyTo = moto_.readerEndpoint() + "/site/game";
    ASSERT_TRUE(nginx_.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error, options)) << error;
    writeFile(sandbox_.install() + "/system.kvml",
              "server: 1\nsiteHost: " + nginx_.hostPort() + "\ncaFile: " + testCertificates().caFile + "\n");
  }
  tools::S3Config storeConfig() const {
    tools::S3Config c;
    c.endpoint = moto_.endpoint();
    c.addressing = tools::Addressing::Path;
    c.bucket = "site";
    c.prefix = "game";
    c.credentials = {moto_.accessKey(), moto_.secretKey(), ""};
    return c;
  }
  ProcessResult publish() {
    ChildOptions options;
    options.argv = {binary("kvpublish"), "--server", "eu", "--prune", "--to", "s3://site/game", sandbox_.client(1)};
    options.extraEnvironment = {"AWS_ACCESS_KEY_ID=" + moto_.accessKey(), "AWS_SECRET_ACCESS_KEY=" + moto_.secretKey(),
                                "AWS_ENDPOINT_URL=" + moto_.endpoint()};
    options.removedEnvironment = {"AWS_SESSION_TOKEN", "AWS_REGION"};
    ProcessResult result = runProcess(options, kToolTimeoutMs);
    // expectConverged compares with the manifest published into the site folder.
    std::string manifest, error;
    tools::StoredObject facts;
    const auto store = tools::makeS3Store(storeConfig());
    if (store->getSmall("download/eu/manifest.json", manifest, facts, error) == tools::StoreOutcome::Done) {
      writeFile(sandbox_.site() + "/download/eu/manifest.json", manifest);
    }
    return result;
  }
  ProcessResult update() {
    ChildOptions options;
    options.argv = {binary("kvupdate")};
    options.workingDirectory = sandbox_.install();
    return runProcess(options, kToolTimeoutMs);
  }
  // The Last-Modified the CDN sends for the quick manifest.
  std::string quickStamp() {
    ChildOptions options;
    options.argv = {"curl", "-sfI", "--cacert", testCertificates().caFile,
                    "https://" + nginx_.hostPort() + "/download/eu/manifest.php"};
    const ProcessResult head = runProcess(options, kToolTimeoutMs);
    std::string lower = head.output;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::size_t at = lower.find("last-modified: ");
    if (at == std::string::npos) return "<none>";
    const std::size_t end = head.output.find('\r', at);
    return head.output.substr(at + 15, end - at - 15);
  }
  Sandbox sandbox_;
  MotoStore moto_;
  NginxServer nginx_;
};

TEST_F(StoreSite, TheLauncherInstallsAndUpdatesFromTheStore) {
  writeFile(sandbox_.client(1) + "/a.pak", "a eu");
  writeFile(sandbox_.client(1) + "/data/b.pak", pattern(3 * 1024 * 1024, 1));
  writeZip(sandbox_.client(1) + "/" + headlessBuild() + ".zip", {{headlessBuild() + ".exe", "exe eu"}});
  const ProcessResult published = publish();
  ASSERT_EQ(published.exitCode, 0) << published.output << published.errors;
  EXPECT_NE(published.output.find("eu: 3 files ("), std::string::npos) << published.output;

  const ProcessResult first = update();
  ASSERT_EQ(first.exitCode, 0) << first.output << first.errors;
  expectConverged(sandbox_, sandbox_.install(), 1, headlessBuild(), quickStamp());

  // Unchanged: the two small requests and nothing else.
  nginx_.clearRequests();
  const ProcessResult second = update();
  EXPECT_EQ(second.exitCode, 0) << second.output << second.errors;
  EXPECT_EQ(requestPaths(nginx_.requests()),
            (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php"}));

  writeFile(sandbox_.client(1) + "/data/b.pak", pattern(3 * 1024 * 1024, 2));
  // The store's Last-Modified counts whole seconds: a release published in
  // the same second as the one before would carry its stamp, which the
  // launcher takes for "unchanged".
  const std::string before = quickStamp();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  moto_.clearRequests();
  ASSERT_EQ(publish().exitCode, 0);
  const auto writes = moto_.requests();
  EXPECT_EQ(std::count_if(writes.begin(), writes.end(), [](const std::string& r) { return r.rfind("PUT ", 0) == 0; }),
            3)
      << ::testing::PrintToString(writes);  // b.pak and the two manifests
  ASSERT_NE(quickStamp(), before);
  nginx_.clearRequests();
  const ProcessResult third = update();
  ASSERT_EQ(third.exitCode, 0) << third.output << third.errors;
  expectConverged(sandbox_, sandbox_.install(), 1, headlessBuild(), quickStamp());
  const auto paths = requestPaths(nginx_.requests());
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/download/eu/data/b.pak"), 1)
      << ::testing::PrintToString(paths) << third.output;
}

// A file replaced on the store while a player holds part of its old bytes
// (a publication between its files and its manifests). The store answers
// the player's If-Range with the new bytes; the launcher must notice and
// never keep old and new bytes put together.
TEST_F(StoreSite, AStoreThatAnswersIfRangeWronglyNeverGetsTwoVersionsSpliced) {
  const std::size_t size = 3 * 1024 * 1024;
  const std::string oldBytes = pattern(size, 1), newBytes = pattern(size, 7);
  writeFile(sandbox_.client(1) + "/big.pak", oldBytes);
  writeZip(sandbox_.client(1) + "/" + headlessBuild() + ".zip", {{headlessBuild() + ".exe", "exe eu"}});
  ASSERT_EQ(publish().exitCode, 0);
  const auto store = tools::makeS3Store(storeConfig());
  tools::StoredObject oldFacts;
  std::string error;
  ASSERT_EQ(store->head("download/eu/big.pak", oldFacts, error), tools::StoreOutcome::Done) << error;

  // The player holds the first MiB of the old bytes and their record.
  const std::string temporary = sandbox_.serverDir(1) + "/big.pak.kvpart";
  const std::size_t held = 1024 * 1024;
  writeFile(temporary, oldBytes.substr(0, held));
  ASSERT_TRUE(updater::writeDownloadRecord(
      updater::downloadRecordPath(temporary),
      {"big.pak", tools::sha256Hex(oldBytes), static_cast<std::int64_t>(size), oldFacts.etag}));
  // The new bytes replace the object; the manifests still list the old ones.
  writeFile(sandbox_.state("new") + "/big.pak", newBytes);
  tools::PutOptions options;
  options.sha256 = tools::sha256Hex(newBytes);
  ASSERT_EQ(store->putFile("download/eu/big.pak", sandbox_.state("new") + "/big.pak", static_cast<std::int64_t>(size),
                           options, {}, error),
            tools::StoreOutcome::Done)
      << error;

  nginx_.clearRequests();
  const ProcessResult during = update();
  std::vector<std::string> answers;  // the big file's requests: "range" or "whole", with the status
  for (const auto& request : nginx_.requests()) {
    if (request.path == "/download/eu/big.pak")
      answers.push_back((request.range.empty() ? "whole " : "range ") + request.status);
  }
  // The store continued a range of bytes it no longer has; the launcher
  // saw that the answer came from another object and asked for all of it.
  EXPECT_EQ(answers, (std::vector<std::string>{"range 206", "whole 200"})) << during.output << during.errors;
  const std::string spliced = oldBytes.substr(0, held) + newBytes.substr(held);
  const std::string installed = sandbox_.serverDir(1) + "/big.pak";
  ASSERT_TRUE(exists(installed)) << during.output << during.errors;
  EXPECT_NE(readFile(installed), spliced);
  EXPECT_TRUE(readFile(installed) == newBytes || readFile(installed) == oldBytes);

  // Once the publication finishes, the player gets the new release.
  writeFile(sandbox_.client(1) + "/big.pak", newBytes);
  ASSERT_EQ(publish().exitCode, 0);
  const ProcessResult after = update();
  ASSERT_EQ(after.exitCode, 0) << after.output << after.errors;
  EXPECT_EQ(readFile(installed), newBytes);
}

}  // namespace
}  // namespace kv::test
