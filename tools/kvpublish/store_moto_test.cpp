#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include <algorithm>
#include <filesystem>

#include "file_hash.h"
#include "fixtures/moto_store.h"
#include "s3_store.h"
#include "store_publish.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace kv::tools {
namespace {

using kv::test::TempDir;
using kv::test::writeFile;

class MotoPublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(moto_.start(state_ / "moto", error)) << error;
  }
  S3Config config(const std::string& prefix = "game") const {
    S3Config c;
    c.endpoint = moto_.endpoint();
    c.addressing = Addressing::Path;
    c.bucket = "site";
    c.prefix = prefix;
    c.credentials = {moto_.accessKey(), moto_.secretKey(), ""};
    c.partSize = 5 * 1024 * 1024;
    c.firstPauseMs = 10;
    return c;
  }
  PublishRequest request(bool prune = false) const {
    PublishRequest r{"eu", "KVLauncher Version 0.29", client_.path(), ""};
    r.prune = prune;
    return r;
  }
  // The index of the first request in log that starts with text, or log.size().
  static std::size_t firstOf(const std::vector<std::string>& log, const std::string& text) {
    return static_cast<std::size_t>(
        std::find_if(log.begin(), log.end(), [&](const std::string& r) { return r.rfind(text, 0) == 0; }) -
        log.begin());
  }
  static std::size_t lastOf(const std::vector<std::string>& log, const std::string& text) {
    std::size_t last = log.size();
    for (std::size_t i = 0; i < log.size(); ++i) {
      if (log[i].rfind(text, 0) == 0) last = i;
    }
    return last;
  }
  static std::size_t writes(const std::vector<std::string>& log) {
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [](const std::string& r) {
      return r.rfind("PUT ", 0) == 0 || r.rfind("POST ", 0) == 0 || r.rfind("DELETE ", 0) == 0;
    }));
  }
  TempDir state_;
  TempDir client_;
  kv::test::MotoStore moto_;
};

TEST_F(MotoPublishTest, PublishesInOrderWithStableETagsAndARerunSendsNothing) {
  const std::string big(11 * 1024 * 1024 + 5, 'z');  // three parts of 5 MiB
  writeFile(client_ / "data/big.pak", big);
  writeFile(client_ / "a.pak", "alpha");
  writeFile(client_ / "da ta/x#y.pak", "odd name");
  const auto store = makeS3Store(config());
  PublishReport report;
  ASSERT_TRUE(publishToStore(request(), *store, report)) << ::testing::PrintToString(report.problems);
  EXPECT_EQ(report.filesCopied, 3u);

  auto log = moto_.requests();
  const std::size_t fullPut = firstOf(log, "PUT /site/game/download/eu/manifest.json");
  const std::size_t quickPut = firstOf(log, "PUT /site/game/download/eu/manifest.php");
  ASSERT_LT(fullPut, log.size()) << ::testing::PrintToString(log);
  ASSERT_LT(quickPut, log.size());
  EXPECT_LT(lastOf(log, "PUT /site/game/download/eu/data/big.pak?partNumber="), fullPut);
  EXPECT_LT(lastOf(log, "POST /site/game/download/eu/data/big.pak?uploadId="), fullPut);
  EXPECT_LT(lastOf(log, "PUT /site/game/download/eu/a.pak"), fullPut);
  EXPECT_LT(lastOf(log, "PUT /site/game/download/eu/da%20ta/x%23y.pak"), fullPut);
  EXPECT_LT(fullPut, quickPut);

  StoredObject facts;
  std::string error;
  ASSERT_EQ(store->head("download/eu/data/big.pak", facts, error), StoreOutcome::Done) << error;
  EXPECT_EQ(facts.sha256, sha256Hex(big));
  EXPECT_EQ(facts.size, static_cast<std::int64_t>(big.size()));
  EXPECT_EQ(facts.etag.substr(facts.etag.size() - 3), "-3\"") << facts.etag;
  // The ETags the tool expects for its files are the store's.
  for (const auto& [path, size] : {std::pair<std::string, std::size_t>{"data/big.pak", big.size()}, {"a.pak", 5u}}) {
    std::string expected;
    StoredObject stored;
    ASSERT_TRUE(multipartEtag(client_ / path, static_cast<std::int64_t>(size), 5 * 1024 * 1024, expected, error));
    ASSERT_EQ(store->head("download/eu/" + path, stored, error), StoreOutcome::Done) << error;
    EXPECT_EQ(stored.etag, expected) << path;
  }
  // The same bytes give the same ETag wherever they are uploaded.
  const auto mirror = makeS3Store(config("mirror"));
  ASSERT_TRUE(publishToStore(request(), *mirror, report)) << ::testing::PrintToString(report.problems);
  StoredObject mirrored;
  ASSERT_EQ(mirror->head("download/eu/data/big.pak", mirrored, error), StoreOutcome::Done) << error;
  EXPECT_EQ(mirrored.etag, facts.etag);

  moto_.clearRequests();
  ASSERT_TRUE(publishToStore(request(), *store, report)) << ::testing::PrintToString(report.problems);
  EXPECT_EQ(report.filesCopied, 0u);
  log = moto_.requests();
  EXPECT_EQ(writes(log), 0u) << ::testing::PrintToString(log);
  EXPECT_LE(log.size(), 3u);

  // A removed file stays while the previous manifest names it, then goes.
  std::filesystem::remove(client_ / "a.pak");
  ASSERT_TRUE(publishToStore(request(true), *store, report)) << ::testing::PrintToString(report.problems);
  EXPECT_TRUE(report.pruned.empty());
  ASSERT_TRUE(publishToStore(request(true), *store, report)) << ::testing::PrintToString(report.problems);
  EXPECT_EQ(report.pruned, std::vector<std::string>{"a.pak"});
  EXPECT_EQ(store->head("download/eu/a.pak", facts, error), StoreOutcome::Missing);
  EXPECT_EQ(mirror->head("download/eu/a.pak", facts, error), StoreOutcome::Done);
}

TEST_F(MotoPublishTest, ConditionalWritesAreRefusedWhenTheObjectChanged) {
  const auto store = makeS3Store(config());
  std::string error;
  PutOptions first;
  first.condition.kind = WriteCondition::Kind::IfAbsent;
  ASSERT_EQ(store->putText("download/eu/manifest.json", "[]", first, error), StoreOutcome::Done) << error;
  EXPECT_EQ(store->putText("download/eu/manifest.json", "[ ]", first, error), StoreOutcome::ConditionFailed);
  StoredObject facts;
  ASSERT_EQ(store->head("download/eu/manifest.json", facts, error), StoreOutcome::Done) << error;
  PutOptions stale;
  stale.condition = {WriteCondition::Kind::IfMatch, "\"0123456789abcdef0123456789abcdef\""};
  EXPECT_EQ(store->putText("download/eu/manifest.json", "[ ]", stale, error), StoreOutcome::ConditionFailed);
  PutOptions current;
  current.condition = {WriteCondition::Kind::IfMatch, facts.etag};
  EXPECT_EQ(store->putText("download/eu/manifest.json", "[ ]", current, error), StoreOutcome::Done) << error;
  // A multipart upload's completion carries the condition too.
  const std::string big(6 * 1024 * 1024, 'm');
  writeFile(client_ / "big", big);
  EXPECT_EQ(store->putFile("download/eu/manifest.json", client_ / "big", static_cast<std::int64_t>(big.size()), first,
                           {}, error),
            StoreOutcome::ConditionFailed);
}

TEST_F(MotoPublishTest, AMultipartUploadThatWasCutIsContinued) {
  const auto store = makeS3Store(config());
  std::string big(11 * 1024 * 1024 + 5, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + i / 1000) & 0xFF);
  // The file ends inside the third part: the first two arrive, the third fails.
  writeFile(client_ / "short", big.substr(0, 10 * 1024 * 1024 + 100));
  writeFile(client_ / "whole", big);
  PutOptions options;
  options.sha256 = sha256Hex(big);
  std::string error;
  EXPECT_EQ(store->putFile("download/eu/resumed.pak", client_ / "short", static_cast<std::int64_t>(big.size()), options,
                           {}, error),
            StoreOutcome::Failed);
  moto_.clearRequests();
  ASSERT_EQ(store->putFile("download/eu/resumed.pak", client_ / "whole", static_cast<std::int64_t>(big.size()), options,
                           {}, error),
            StoreOutcome::Done)
      << error;
  std::vector<std::string> parts;
  for (const auto& request : moto_.requests()) {
    if (request.rfind("PUT ", 0) == 0) parts.push_back(request.substr(0, request.find('&')));
  }
  EXPECT_EQ(parts, std::vector<std::string>{"PUT /site/game/download/eu/resumed.pak?partNumber=3"});
  StoredObject facts;
  std::string expected;
  ASSERT_EQ(store->head("download/eu/resumed.pak", facts, error), StoreOutcome::Done) << error;
  ASSERT_TRUE(
      multipartEtag(client_ / "whole", static_cast<std::int64_t>(big.size()), 5 * 1024 * 1024, expected, error));
  EXPECT_EQ(facts.etag, expected);
  EXPECT_EQ(facts.size, static_cast<std::int64_t>(big.size()));
}

TEST_F(MotoPublishTest, WrongKeysAreRefusedWithAClearText) {
  writeFile(client_ / "a.pak", "alpha");
  const struct {
    const char* name;
    std::string accessKey, secretKey;
    const char* says;
  } cases[] = {
      {"wrong secret", moto_.accessKey(), "wrong" + moto_.secretKey(), "SignatureDoesNotMatch"},
      {"unknown key", "AKIAUNKNOWNUNKNOWN00", moto_.secretKey(), "InvalidAccessKeyId"},
  };
  for (const auto& c : cases) {
    S3Config bad = config();
    bad.credentials = {c.accessKey, c.secretKey, ""};
    const auto store = makeS3Store(bad);
    PublishReport report;
    EXPECT_FALSE(publishToStore(request(), *store, report)) << c.name;
    ASSERT_EQ(report.problems.size(), 1u) << c.name;
    EXPECT_NE(report.problems[0].find(c.says), std::string::npos) << report.problems[0];
    EXPECT_NE(report.problems[0].find("check AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY"), std::string::npos)
        << report.problems[0];
  }
  EXPECT_EQ(writes(moto_.requests()), 0u);
}

// The real program killed while it publishes, at several depths: the site
// stays servable, and running it again finishes without sending again what
// the store already confirmed.
TEST_F(MotoPublishTest, AKilledPublicationIsFinishedByARerun) {
  const auto store = makeS3Store(config());
  const auto writeRelease = [this](char flavour) {
    for (int i = 0; i < 6; ++i) {
      writeFile(client_ / ("data/f" + std::to_string(i) + ".pak"),
                std::string(1024 * 1024, flavour) + "#" + std::to_string(i));
    }
    writeFile(client_ / "big.pak", std::string(11 * 1024 * 1024, flavour));
    writeFile(client_ / (std::string("new-") + flavour + ".pak"), "only in this release");
  };
  const auto publishProgram = [this](kv::test::ChildProcess& child) {
    kv::test::ChildOptions options;
    options.argv = {std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/kvpublish",
                    "--server",
                    "eu",
                    "--prune",
                    "--to",
                    "s3://site/game",
                    client_.path()};
    options.extraEnvironment = {"AWS_ACCESS_KEY_ID=" + moto_.accessKey(), "AWS_SECRET_ACCESS_KEY=" + moto_.secretKey(),
                                "AWS_ENDPOINT_URL=" + moto_.endpoint()};
    options.removedEnvironment = {"AWS_SESSION_TOKEN", "AWS_REGION"};
    options.discardOutput = true;
    std::string error;
    EXPECT_TRUE(child.start(options, error)) << error;
  };
  const auto wholeWrites = [](const std::vector<std::string>& log) {
    std::set<std::string> out;  // objects written in one request (a killed part may be cut; not counted)
    for (const auto& r : log) {
      if (r.rfind("PUT ", 0) == 0 && r.find('?') == std::string::npos) out.insert(r);
    }
    return out;
  };
  writeRelease('a');
  {
    kv::test::ChildProcess first;
    publishProgram(first);
    ASSERT_EQ(first.wait(120000), 0);
  }
  char flavour = 'b';
  std::size_t heldInAll = 0;  // files a killed run left that the rerun kept
  for (const std::size_t killAfter : {1u, 4u, 7u}) {
    SCOPED_TRACE("killed after " + std::to_string(killAfter) + " writes");
    writeRelease(flavour++);
    moto_.clearRequests();
    kv::test::ChildProcess killed;
    publishProgram(killed);
    // Bounded: the program ends on its own within the time-out at the latest.
    for (int i = 0; i < 3000 && killed.running() && writes(moto_.requests()) < killAfter; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    killed.signalGroup(SIGKILL);
    ASSERT_EQ(killed.wait(10000), 128 + SIGKILL) << "the publication ended before it was killed";
    // The files the store holds with this release's bytes once the program is gone.
    std::set<std::string> held;
    {
      std::map<std::string, StoredObject> objects;
      std::string error;
      ASSERT_EQ(store->list("download/eu/", objects, error), StoreOutcome::Done) << error;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(client_.path())) {
        if (!entry.is_regular_file()) continue;
        const std::string path = entry.path().lexically_relative(client_.path()).generic_string();
        const auto it = objects.find("download/eu/" + path);
        std::string etag;
        if (it != objects.end() &&
            store->etagOf(entry.path().string(), static_cast<std::int64_t>(entry.file_size()), etag, error) &&
            etag == it->second.etag) {
          held.insert("PUT /site/game/download/eu/" + path);
        }
      }
    }
    heldInAll += held.size();

    // Whatever manifests the store holds name only files it holds.
    for (const char* manifest : {"download/eu/manifest.json", "download/eu/manifest.php"}) {
      std::string text, error;
      StoredObject facts;
      ASSERT_EQ(store->getSmall(manifest, text, facts, error), StoreOutcome::Done) << error;
      for (const auto& item : nlohmann::json::parse(text)) {
        StoredObject file;
        EXPECT_EQ(store->head("download/eu/" + item["path"].get<std::string>(), file, error), StoreOutcome::Done)
            << manifest << " names " << item["path"];
      }
    }

    moto_.clearRequests();
    kv::test::ChildProcess rerun;
    publishProgram(rerun);
    ASSERT_EQ(rerun.wait(120000), 0);
    // Nothing the store held is sent again.
    const auto again = wholeWrites(moto_.requests());
    for (const auto& write : held) EXPECT_EQ(again.count(write), 0u) << write;
    std::string text, error;
    StoredObject facts;
    ASSERT_EQ(store->getSmall("download/eu/manifest.php", text, facts, error), StoreOutcome::Done);
    EXPECT_NE(text.find(sha256Hex(std::string(11 * 1024 * 1024, static_cast<char>(flavour - 1)))), std::string::npos);
  }
  EXPECT_GT(heldInAll, 0u) << "no kill left a file behind; the reruns showed nothing";
}

}  // namespace
}  // namespace kv::tools
