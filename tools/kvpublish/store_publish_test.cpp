#include "store_publish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>

#include "file_hash.h"
#include "publish_signing.h"
#include "support/temp_dir.h"

namespace kv::tools {
namespace {

using kv::test::readFile;
using kv::test::TempDir;
using kv::test::writeFile;

// An object store in memory that logs every request, can stop writing after
// a number of writes (as a killed publication would) and can run something
// just before a write of a chosen key.
class MemoryStore final : public ObjectStore {
 public:
  struct Object {
    std::string content, etag, sha256, cacheControl;
  };

  std::string describe() const override { return "s3://memory"; }

  StoreOutcome head(const std::string& key, StoredObject& object, std::string& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back("HEAD " + key);
    return factsOf(key, object, error);
  }
  StoreOutcome getSmall(const std::string& key, std::string& body, StoredObject& object, std::string& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back("GET " + key);
    const StoreOutcome outcome = factsOf(key, object, error);
    if (outcome == StoreOutcome::Done) body = objects_[key].content;
    return outcome;
  }
  StoreOutcome putText(const std::string& key, const std::string& text, const PutOptions& options,
                       std::string& error) override {
    return write(key, text, options, error);
  }
  StoreOutcome putFile(const std::string& key, const std::string& file, std::int64_t size, const PutOptions& options,
                       const std::function<void(std::int64_t)>& onSent, std::string& error) override {
    const std::string content = readFile(file);
    EXPECT_EQ(static_cast<std::int64_t>(content.size()), size) << key;
    if (onSent) onSent(size);
    return write(key, content, options, error);
  }
  StoreOutcome remove(const std::string& key, std::string& error) override {
    runHook(key);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!allowWrite(error)) return StoreOutcome::Failed;
    log_.push_back("DELETE " + key);
    objects_.erase(key);
    return StoreOutcome::Done;
  }
  StoreOutcome list(const std::string& prefix, std::map<std::string, StoredObject>& objects, std::string&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back("LIST " + prefix);
    for (const auto& [key, object] : objects_) {
      if (key.rfind(prefix, 0) == 0) objects[key] = {object.etag, "", static_cast<std::int64_t>(object.content.size())};
    }
    return StoreOutcome::Done;
  }
  bool etagOf(const std::string& file, std::int64_t, std::string& etag, std::string&) override {
    etag = etagOfContent(readFile(file));
    return true;
  }
  // As S3's: a function of the bytes.
  static std::string etagOfContent(const std::string& content) {
    return "\"" + sha256Hex(content).substr(0, 32) + "\"";
  }

  // Writes after this many more fail (-1: never).
  void stopAfterWrites(int writes) { writesLeft_ = writes; }
  void beforeWriteOf(const std::string& key, std::function<void()> hook) {
    hookKey_ = key;
    hook_ = std::move(hook);
  }
  std::vector<std::string> takeLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(log_, {});
  }
  std::map<std::string, Object> objects_;

 private:
  StoreOutcome factsOf(const std::string& key, StoredObject& object, std::string& error) {
    const auto it = objects_.find(key);
    if (it == objects_.end()) return StoreOutcome::Missing;
    object = {it->second.etag, it->second.sha256, static_cast<std::int64_t>(it->second.content.size())};
    (void)error;
    return StoreOutcome::Done;
  }
  bool allowWrite(std::string& error) {
    if (writesLeft_ == 0) {
      error = "stopped";
      return false;
    }
    if (writesLeft_ > 0) --writesLeft_;
    return true;
  }
  void runHook(const std::string& key) {
    if (key != hookKey_ || !hook_) return;
    auto hook = std::exchange(hook_, {});
    hook();
  }
  StoreOutcome write(const std::string& key, const std::string& content, const PutOptions& options,
                     std::string& error) {
    runHook(key);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!allowWrite(error)) return StoreOutcome::Failed;
    const auto it = objects_.find(key);
    const auto& condition = options.condition;
    if ((condition.kind == WriteCondition::Kind::IfAbsent && it != objects_.end()) ||
        (condition.kind == WriteCondition::Kind::IfMatch &&
         (it == objects_.end() || it->second.etag != condition.etag))) {
      error = "412";
      return StoreOutcome::ConditionFailed;
    }
    log_.push_back("PUT " + key);
    EXPECT_EQ(options.sha256, sha256Hex(content)) << key;
    objects_[key] = {content, etagOfContent(content), options.sha256, options.cacheControl};
    return StoreOutcome::Done;
  }

  std::mutex mutex_;  // guards objects_ and log_ during a publication
  std::vector<std::string> log_;
  int writesLeft_ = -1;
  std::string hookKey_;
  std::function<void()> hook_;
};

constexpr const char* kFull = "download/eu/manifest.json";
constexpr const char* kQuick = "download/eu/manifest.php";

std::vector<std::string> writesIn(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const auto& line : log) {
    if (line.rfind("PUT ", 0) == 0 || line.rfind("DELETE ", 0) == 0) out.push_back(line);
  }
  return out;
}

// The paths a manifest object names, with their hashes.
std::map<std::string, std::string> listedIn(const MemoryStore& store, const std::string& key) {
  std::map<std::string, std::string> out;
  const auto it = store.objects_.find(key);
  if (it == store.objects_.end()) return out;
  for (const auto& item : nlohmann::json::parse(it->second.content)) out[item["path"]] = item["hash"];
  return out;
}

class StorePublishTest : public ::testing::Test {
 protected:
  PublishRequest request(const TempDir& client, bool prune = false) {
    PublishRequest r{"eu", "KVLauncher Version 0.29", client.path(), ""};
    r.prune = prune;
    r.threads = 3;
    return r;
  }
  bool publish(const TempDir& client, bool prune = false) {
    report_ = PublishReport{};
    return publishToStore(request(client, prune), store_, report_);
  }
  // Every file a manifest on the store names is there, with the listed
  // bytes unless it is one that changes under its name in this release
  // (such a file is replaced in place, as on a folder site).
  void expectServable(const char* when, const std::set<std::string>& changing = {}) {
    for (const char* manifest : {kFull, kQuick}) {
      for (const auto& [path, hash] : listedIn(store_, manifest)) {
        const auto it = store_.objects_.find("download/eu/" + path);
        ASSERT_NE(it, store_.objects_.end()) << when << ": " << manifest << " names missing " << path;
        if (changing.count(path) == 0) {
          EXPECT_EQ(sha256Hex(it->second.content), hash) << when << ": " << path;
        }
      }
    }
  }
  MemoryStore store_;
  PublishReport report_;
};

TEST_F(StorePublishTest, FilesGoFirstThenTheManifestsAndARerunSendsNothing) {
  TempDir client;
  writeFile(client / "a.pak", "alpha");
  writeFile(client / "data/b.pak", std::string(5000, 'b'));
  writeFile(client / "data/c.txt", "gamma");
  ASSERT_TRUE(publish(client)) << ::testing::PrintToString(report_.problems);
  EXPECT_EQ(report_.filesCopied, 3u);
  EXPECT_TRUE(report_.manifestChanged);
  const auto writes = writesIn(store_.takeLog());
  ASSERT_EQ(writes.size(), 6u) << ::testing::PrintToString(writes);
  EXPECT_EQ(writes[3], std::string("PUT ") + kFull);
  EXPECT_EQ(writes[4], std::string("PUT ") + kQuick);
  EXPECT_EQ(writes[5], "PUT download/updater.php");
  EXPECT_EQ(store_.objects_[kFull].content, store_.objects_[kQuick].content);
  EXPECT_EQ(store_.objects_["download/updater.php"].content, "KVLauncher Version 0.29");
  EXPECT_EQ(store_.objects_[kFull].cacheControl, "no-cache");
  EXPECT_EQ(store_.objects_["download/eu/data/b.pak"].cacheControl, "public, max-age=300");
  EXPECT_EQ(store_.objects_["download/eu/data/b.pak"].sha256, sha256Hex(std::string(5000, 'b')));

  // Unchanged: the manifest is read, the other two looked at, nothing else.
  ASSERT_TRUE(publish(client));
  EXPECT_EQ(report_.filesCopied, 0u);
  EXPECT_FALSE(report_.manifestChanged);
  EXPECT_EQ(store_.takeLog(), (std::vector<std::string>{"GET download/eu/manifest.json",
                                                        "HEAD download/eu/manifest.php", "HEAD download/updater.php"}));

  // One changed file costs one look and one upload.
  writeFile(client / "data/c.txt", "gamma 2");
  ASSERT_TRUE(publish(client));
  EXPECT_EQ(report_.changed, std::vector<std::string>{"data/c.txt"});
  const auto log = store_.takeLog();
  EXPECT_EQ(writesIn(log), (std::vector<std::string>{"PUT download/eu/data/c.txt", std::string("PUT ") + kFull,
                                                     std::string("PUT ") + kQuick}));
  EXPECT_EQ(log.size(), 3u + 1u + 3u);
}

TEST_F(StorePublishTest, AStopAtEveryWriteLeavesAServableSiteAndARerunFinishesWithoutResending) {
  TempDir v1, v2;
  for (TempDir* dir : {&v1, &v2}) {
    writeFile(*dir / "keep.pak", "same in both");
    writeFile(*dir / "data/b.pak", "b");
  }
  writeFile(v1 / "old.pak", "only in the first");
  writeFile(v2 / "data/b.pak", "b changed");
  writeFile(v2 / "new/d.pak", "added");
  ASSERT_TRUE(publish(v1));
  store_.takeLog();
  store_.objects_["download/eu/stray.bin"] = {"left by hand", "\"x\"", "", ""};
  const auto before = store_.objects_;

  // The full run, to count its writes: two files, two manifests, the prune of the stray.
  ASSERT_TRUE(publish(v2, true));
  const auto fullWrites = writesIn(store_.takeLog());
  ASSERT_EQ(fullWrites.size(), 5u) << ::testing::PrintToString(fullWrites);
  EXPECT_EQ(fullWrites.back(), "DELETE download/eu/stray.bin");
  EXPECT_EQ(report_.pruned, std::vector<std::string>{"stray.bin"});  // old.pak: the previous manifest names it
  const auto after = store_.objects_;

  for (int stopAt = 0; stopAt < static_cast<int>(fullWrites.size()); ++stopAt) {
    SCOPED_TRACE("stopped after " + std::to_string(stopAt) + " writes");
    store_.objects_ = before;
    store_.stopAfterWrites(stopAt);
    EXPECT_FALSE(publish(v2, true));
    EXPECT_FALSE(report_.problems.empty());
    expectServable("after the stop", {"data/b.pak"});
    const auto firstWrites = writesIn(store_.takeLog());
    store_.stopAfterWrites(-1);
    ASSERT_TRUE(publish(v2, true)) << ::testing::PrintToString(report_.problems);
    expectServable("after the rerun");
    const auto rerunWrites = writesIn(store_.takeLog());
    // Nothing written twice between the two runs.
    for (const auto& write : rerunWrites) {
      EXPECT_EQ(std::count(firstWrites.begin(), firstWrites.end(), write), 0) << write;
    }
    EXPECT_EQ(listedIn(store_, kQuick), listedIn(store_, kFull));
    EXPECT_EQ(store_.objects_[kFull].content, after.at(kFull).content);
    EXPECT_EQ(store_.objects_.count("download/eu/stray.bin"), 0u);
  }
}

// Chunk indexes go up with the files, before the manifests; a stop on the
// way leaves nothing to send twice; prune keeps what either manifest names.
TEST_F(StorePublishTest, IndexesGoWithTheFilesAndPruneKeepsTheNamedOnes) {
  TempDir client;
  const std::string big = kv::test::noiseBytes(kIndexedFileSize, 3);
  writeFile(client / "big.pak", big);
  writeFile(client / "a.pak", "a");
  store_.stopAfterWrites(3);  // the two files and the index's head
  EXPECT_FALSE(publish(client));
  const auto stopped = writesIn(store_.takeLog());
  store_.stopAfterWrites(-1);
  ASSERT_TRUE(publish(client)) << ::testing::PrintToString(report_.problems);
  const auto writes = writesIn(store_.takeLog());
  const std::string head = "download/eu/kvindex/" + sha256Hex(big) + ".kvi";
  const std::string fine = "download/eu/kvindex/" + sha256Hex(big) + ".kvf";
  ASSERT_EQ(stopped.size(), 3u) << ::testing::PrintToString(stopped);
  EXPECT_EQ(stopped[2], "PUT " + head);
  EXPECT_EQ(writes, (std::vector<std::string>{"PUT " + fine, std::string("PUT ") + kFull, std::string("PUT ") + kQuick,
                                              "PUT download/updater.php"}));
  const delta::IndexFiles expected = delta::buildIndex(reinterpret_cast<const std::uint8_t*>(big.data()), big.size());
  EXPECT_EQ(store_.objects_[head].content, expected.head);
  EXPECT_EQ(store_.objects_[fine].content, expected.fine);
  EXPECT_EQ(store_.objects_[head].cacheControl, "public, max-age=31536000, immutable");
  const auto manifest = nlohmann::json::parse(store_.objects_[kFull].content);
  EXPECT_EQ(manifest[1]["path"], "big.pak");
  EXPECT_EQ(manifest[1]["index"]["path"], "kvindex/" + sha256Hex(big) + ".kvi");
  EXPECT_EQ(manifest[1]["index"]["hash"], sha256Hex(expected.head));

  // A new version: its index goes up; the old one stays while the previous
  // manifest names it, and goes with the next prune.
  writeFile(client / "big.pak", big + "x");
  ASSERT_TRUE(publish(client, true));
  EXPECT_EQ(report_.indexesWritten, 1u);
  EXPECT_TRUE(report_.pruned.empty()) << ::testing::PrintToString(report_.pruned);
  store_.takeLog();
  ASSERT_TRUE(publish(client, true));
  EXPECT_EQ(report_.indexesWritten, 0u);
  EXPECT_EQ(report_.pruned, (std::vector<std::string>{"kvindex/" + sha256Hex(big) + ".kvf",
                                                      "kvindex/" + sha256Hex(big) + ".kvi"}));
  EXPECT_EQ(store_.objects_.count(head), 0u);
  EXPECT_EQ(store_.objects_.count("download/eu/kvindex/" + sha256Hex(big + "x") + ".kvi"), 1u);
}

TEST_F(StorePublishTest, PruneRemovesOnlyWhatNeitherManifestNames) {
  TempDir client;
  writeFile(client / "a.pak", "a");
  writeFile(client / "b.pak", "b");
  ASSERT_TRUE(publish(client));
  std::filesystem::remove(client / "b.pak");
  ASSERT_TRUE(publish(client, true));
  EXPECT_EQ(report_.removed, std::vector<std::string>{"b.pak"});
  EXPECT_TRUE(report_.pruned.empty());  // the previous manifest still names it
  EXPECT_EQ(store_.objects_.count("download/eu/b.pak"), 1u);
  ASSERT_TRUE(publish(client, true));
  EXPECT_EQ(report_.pruned, std::vector<std::string>{"b.pak"});
  EXPECT_EQ(store_.objects_.count("download/eu/b.pak"), 0u);
  EXPECT_EQ(store_.objects_.count("download/eu/a.pak"), 1u);
}

TEST_F(StorePublishTest, SignaturesGoUpBetweenTheFilesAndTheManifestsAndRenewInPlace) {
  TempDir client;
  writeFile(client / "a.pak", "a");
  writeFile(client / "old.pak", "o");
  const signing::SecretKey key = signing::generateSecretKey();
  const std::string fullSig = std::string(kFull) + ".minisig", quickSig = std::string(kQuick) + ".minisig";
  const auto signedRequest = [&](std::uint64_t release, bool resign, bool prune) {
    PublishRequest r = request(client, prune);
    r.signingKey = &key;
    r.release = release;
    r.resign = resign;
    r.now = 1799348400;
    r.expiresDays = resign ? 60 : 30;
    return r;
  };
  // Each signature verifies over its manifest and claims this release.
  const auto expectSigned = [&](std::uint64_t release, std::int64_t expires) {
    for (const auto& [manifest, signature] :
         {std::pair{std::string(kFull), fullSig}, std::pair{std::string(kQuick), quickSig}}) {
      auto sig = signing::parseSignatureFile(store_.objects_[signature].content);
      ASSERT_TRUE(sig) << signature;
      EXPECT_EQ(signing::verifySignature(store_.objects_[manifest].content, *sig, {signing::publicKeyOf(key)}),
                signing::Verdict::Valid);
      EXPECT_EQ(signing::parseReleaseClaim(sig->trustedComment), (signing::ReleaseClaim{"eu", release, expires}));
      EXPECT_EQ(store_.objects_[signature].cacheControl, "no-cache");
    }
  };

  ASSERT_TRUE(publishToStore(signedRequest(0, false, false), store_, report_))
      << ::testing::PrintToString(report_.problems);
  EXPECT_EQ(writesIn(store_.takeLog()),
            (std::vector<std::string>{"PUT download/eu/a.pak", "PUT download/eu/old.pak", "PUT " + fullSig,
                                      "PUT " + quickSig, std::string("PUT ") + kFull, std::string("PUT ") + kQuick,
                                      "PUT download/updater.php"}));
  expectSigned(1, 1799348400 + 30 * 86400);

  // Renewal: the signatures alone, same release.
  ASSERT_TRUE(publishToStore(signedRequest(0, true, false), store_, report_))
      << ::testing::PrintToString(report_.problems);
  EXPECT_EQ(writesIn(store_.takeLog()), (std::vector<std::string>{"PUT " + fullSig, "PUT " + quickSig}));
  expectSigned(1, 1799348400 + 60 * 86400);

  // A release below the store's, and a renewal of a manifest changed behind
  // the publisher's back, are refused without a write.
  EXPECT_FALSE(publishToStore(signedRequest(1, false, false), store_, report_));
  EXPECT_NE(::testing::PrintToString(report_.problems).find("not above the site's release 1"), std::string::npos);
  const auto quick = store_.objects_[kQuick];
  store_.objects_[kQuick].content = "[]";
  EXPECT_FALSE(publishToStore(signedRequest(0, true, false), store_, report_));
  EXPECT_NE(::testing::PrintToString(report_.problems).find("not what its signature signs"), std::string::npos);
  EXPECT_TRUE(writesIn(store_.takeLog()).empty());
  store_.objects_[kQuick] = quick;

  // Pruning takes unlisted files, never the signatures.
  std::filesystem::remove(client / "old.pak");
  ASSERT_TRUE(publishToStore(signedRequest(0, false, true), store_, report_));
  ASSERT_TRUE(publishToStore(signedRequest(0, false, true), store_, report_));
  EXPECT_EQ(report_.pruned, std::vector<std::string>{"old.pak"});
  expectSigned(3, 1799348400 + 30 * 86400);
}

TEST_F(StorePublishTest, OfTwoPublishersAtOnceTheSecondToSwitchIsRefused) {
  const struct {
    const char* name;
    bool firstPublish;  // the store is empty (If-None-Match) or holds a release (If-Match)
  } cases[] = {{"first publish", true}, {"later publish", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store_.objects_.clear();
    TempDir mine, theirs;
    writeFile(mine / "a.pak", "mine");
    writeFile(theirs / "a.pak", "theirs");
    if (!c.firstPublish) {
      TempDir base;
      writeFile(base / "a.pak", "base");
      ASSERT_TRUE(publish(base));
    }
    bool otherOk = false;
    store_.beforeWriteOf(kFull, [&] {
      PublishReport other;
      otherOk = publishToStore(request(theirs), store_, other);
    });
    EXPECT_FALSE(publish(mine));
    EXPECT_TRUE(otherOk);
    ASSERT_EQ(report_.problems.size(), 1u);
    EXPECT_NE(report_.problems[0].find("another publication changed s3://memory/download/eu/manifest.json"),
              std::string::npos)
        << report_.problems[0];
    EXPECT_EQ(listedIn(store_, kFull).at("a.pak"), sha256Hex("theirs"));
    EXPECT_EQ(listedIn(store_, kQuick).at("a.pak"), sha256Hex("theirs"));
  }
}

TEST_F(StorePublishTest, DryRunAndRefusedReleasesWriteNothing) {
  TempDir client;
  writeFile(client / "a.pak", "a");
  PublishRequest dry = request(client, true);
  dry.dryRun = true;
  ASSERT_TRUE(publishToStore(dry, store_, report_));
  EXPECT_EQ(report_.filesCopied, 1u);
  EXPECT_TRUE(report_.manifestChanged);
  EXPECT_TRUE(writesIn(store_.takeLog()).empty());
  EXPECT_TRUE(store_.objects_.empty());

  PublishRequest strict = request(client);
  strict.strict = true;  // the release lacks the client builds
  EXPECT_FALSE(publishToStore(strict, store_, report_));
  writeFile(client / "manifest.php", "[]");
  EXPECT_FALSE(publish(client));
  EXPECT_TRUE(store_.takeLog().empty());
}

TEST(StoreCacheHeaders, ManifestsAreNeverCachedAndContentNamedFilesForever) {
  const struct {
    const char* key;
    const char* cacheControl;
  } cases[] = {
      {"download/eu/manifest.json", "no-cache"},
      {"download/us/manifest.php", "no-cache"},
      {"download/updater.php", "no-cache"},
      {"download/eu/manifest.json.minisig", "no-cache"},
      {"download/us/manifest.php.minisig", "no-cache"},
      {"download/eu/data/a.pak.minisig", "public, max-age=300"},
      {"download/eu/data/manifest.json.bak", "public, max-age=300"},
      {"download/eu/data/a.pak", "public, max-age=300"},
      {"download/eu/chunks/3f9a.chunks", "public, max-age=31536000, immutable"},
      {"download/eu/kvindex/3f9a.kvi", "public, max-age=31536000, immutable"},
      {"download/eu/kvindex/3f9a.kvf", "public, max-age=31536000, immutable"},
  };
  for (const auto& c : cases) EXPECT_EQ(cacheControlFor(c.key), c.cacheControl) << c.key;
}

}  // namespace
}  // namespace kv::tools
