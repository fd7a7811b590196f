// Update runs of an installation that holds release keys, against nginx
// serving a signed site: what a hostile site or mirror may try, each refused
// with its text and nothing installed; key rotation; the minisign program's
// signatures.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "signing/key_rotation.h"
#include "signing/minisign.h"
#include "signing/release_claim.h"
#include "support/child_process.h"
#include "update_harness.h"
#include "updater/release_check.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using signing::SecretKey;

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

constexpr std::int64_t kDay = 86400;

void makeClient(const Sandbox& sandbox, int server, const std::string& flavour) {
  const std::string c = sandbox.client(server);
  writeFile(c + "/data/font.ttf", std::string(3000, 'f') + flavour);
  writeFile(c + "/empty.txt", "");
  writeFile(c + "/characters/model.bin", std::string(300 * 1024, 'm') + flavour);
  writeZip(c + "/vdclient_gl_x64.zip", {{"vdclient_gl_x64.exe", "gl64 " + flavour}});
  writeZip(c + "/data/pack.zip", {{"packed.txt", "packed " + flavour}});
}

class SignedRuns : public ::testing::Test {
 public:  // the attack table's steps reach the fixture through a reference
  void SetUp() override {
    makeClient(sandbox_, 1, "eu");
    makeClient(sandbox_, 2, "us");
    sandbox_.publish(1);
    sandbox_.publish(2);
    trust({key_});
    std::string error;
    ASSERT_TRUE(nginx_.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
  }

  std::string serverSite(const std::string& folder) const { return sandbox_.site() + "/download/" + folder; }

  // Installs keys as the launcher's release keys.
  void trust(const std::vector<SecretKey>& keys) {
    std::string text = "# release keys\n\n";
    for (const SecretKey& key : keys) text += signing::publicKeyLine(signing::publicKeyOf(key)) + "\n";
    writeFile(sandbox_.install() + "/release_keys", text);
  }

  // Signs both manifests of the folder's site with key and claim.
  void sign(const std::string& folder, const SecretKey& key, const signing::ReleaseClaim& claim) {
    for (const char* name : {"manifest.json", "manifest.php"}) {
      const std::string path = serverSite(folder) + "/" + name;
      writeFile(path + ".minisig", signing::signMessage(key, readFile(path), signing::releaseClaimText(claim),
                                                        "signature from the test key"));
    }
  }
  void sign(const std::string& folder, std::uint64_t release, std::int64_t expires = 0) {
    sign(folder, key_, {folder, release, expires == 0 ? nowSeconds() + 30 * kDay : expires});
  }

  // A new release of the EU client: one file changed, published with a
  // new stamp, signed as release.
  void republish(std::uint64_t release) {
    writeFile(sandbox_.client(1) + "/data/font.ttf", std::string(3000, 'g') + std::to_string(release));
    sandbox_.publish(1);
    const std::string quick = serverSite("eu") + "/manifest.php";
    setMtime(quick, mtimeOf(quick) + 100);
    sign("eu", release);
  }

  // The site published afresh from the clients, signed as release 10.
  void resetSite() {
    for (const auto& entry : fs::directory_iterator(sandbox_.site())) fs::remove_all(entry.path());
    makeClient(sandbox_, 1, "eu");
    sandbox_.publish(1);
    sandbox_.publish(2);
    sign("eu", 10);
  }

  RecordedRun run(int server = 1) {
    RunOptions options;
    options.server = server;
    return runUpdateOnce(nginx_.hostPort(), testCertificates().caFile, sandbox_.install(), options);
  }

  // The installation without the log and the records a refused run may
  // write (the download log, the accepted release).
  std::map<std::string, std::string> installedFiles() const {
    std::map<std::string, std::string> files = sandbox_.snapshotInstall();
    files.erase("curl_download.log");
    files.erase("eu/release.state");
    files.erase("us/release.state");
    // A server folder made only to hold that record.
    for (const char* folder : {"eu", "us"}) {
      const bool holdsMore = std::any_of(files.begin(), files.end(), [&](const auto& file) {
        return file.first.rfind(std::string(folder) + "/", 0) == 0;
      });
      if (!holdsMore) files.erase(folder);
    }
    return files;
  }

  Sandbox sandbox_;
  NginxServer nginx_;
  SecretKey key_ = signing::generateSecretKey();
};

// Each attack on a site whose installation is either empty or holds release
// 10: refused with its text, the installed files as they were, and the log
// telling the detail.
TEST_F(SignedRuns, AttacksAreRefusedAndNothingIsInstalled) {
  const SecretKey stranger = signing::generateSecretKey();
  const auto replaceLine = [](std::string text, std::size_t index, const std::string& line) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end == std::string::npos ? text.size() : end + 1;
    }
    lines.at(index) = line;
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
  };
  struct Attack {
    std::string name;
    bool installedFirst;  // release 10 installed before the attack
    std::function<void(SignedRuns&)> tamper;
    std::string_view text;
    std::string detail;  // part of the log line
    std::string forbidden;  // a content no installed file may have; empty: nothing may change at all
  };
  const std::string json = "/download/eu/manifest.json";
  const Attack attacks[] = {
      {"unsigned manifest", false,
       [](SignedRuns& t) {
         fs::remove(t.serverSite("eu") + "/manifest.json.minisig");
         fs::remove(t.serverSite("eu") + "/manifest.php.minisig");
       },
       updater::kTextUntrustedUpdate, "manifest.php.minisig: HTTP status code: 404"},
      {"signature by an unknown key", false, [&](SignedRuns& t) { t.sign("eu", stranger, {"eu", 11, nowSeconds() + kDay}); },
       updater::kTextUntrustedUpdate, "which is not trusted"},
      {"signature of another file", false,
       [](SignedRuns& t) {
         // The quick form is the same document as the full one: the other
         // file is the US manifest, signed with a claim for EU.
         const std::string other = readFile(t.serverSite("us") + "/manifest.json");
         const std::string claim = signing::releaseClaimText({"eu", 11, nowSeconds() + kDay});
         for (const char* name : {"/manifest.json.minisig", "/manifest.php.minisig"}) {
           writeFile(t.serverSite("eu") + name, signing::signMessage(t.key_, other, claim, "other"));
         }
       },
       updater::kTextUntrustedUpdate, "manifest.php.minisig: the signature does not match manifest.php"},
      {"manifest changed after signing", false,
       [](SignedRuns& t) {
         std::string text = readFile(t.serverSite("eu") + "/manifest.json");
         text.insert(text.find('[') + 1, "{\"path\": \"evil.exe\", \"hash\": \"" + std::string(64, 'a') +
                                             "\", \"size\": 1},");
         writeFile(t.serverSite("eu") + "/manifest.json", text);
       },
       updater::kTextUntrustedUpdate, "the signature does not match manifest.json"},
      {"a file changed while the manifest is intact", false,
       [](SignedRuns& t) { writeFile(t.serverSite("eu") + "/data/font.ttf", std::string(3000, 'F') + "eu"); },
       updater::kTextFileNotSigned, "data/font.ttf: SHA-256 ", std::string(3000, 'F') + "eu"},
      {"an archive changed while the manifest is intact", false,
       [](SignedRuns& t) {
         const std::string pack = t.serverSite("eu") + "/data/pack.zip";
         const auto size = fs::file_size(pack);
         writeZip(pack, {{"packed.txt", "evil!! eu"}});
         ASSERT_EQ(fs::file_size(pack), size);  // the listed size alone does not tell
       },
       updater::kTextFileNotSigned, "data/pack.zip: SHA-256 ", "evil!! eu"},
      {"an older release", true, [](SignedRuns& t) { t.republish(9); }, updater::kTextOlderRelease,
       "manifest.php.minisig: release 9, the launcher accepted release 10"},
      {"an older full manifest behind a newer quick one", true,
       [](SignedRuns& t) {
         t.republish(11);
         const std::string path = t.serverSite("eu") + "/manifest.json";
         writeFile(path + ".minisig", signing::signMessage(t.key_, readFile(path),
                                                           signing::releaseClaimText({"eu", 9, nowSeconds() + kDay}),
                                                           "old"));
       },
       updater::kTextOlderRelease, "manifest.json.minisig: release 9, the launcher accepted release 11"},
      {"an expired release", false, [](SignedRuns& t) { t.sign("eu", 11, nowSeconds() - 60); },
       updater::kTextExpiredUpdate, "release 11 expired at "},
      {"an expired release behind an unchanged stamp", true,
       [](SignedRuns& t) {
         // Time passes beyond the accepted expiry; the site's signature was
         // not renewed.
         writeFile(t.sandbox_.serverDir(1) + "/release.state", "release 10\nexpires " +
                                                                   std::to_string(nowSeconds() - 30) + "\n");
         t.sign("eu", 10, nowSeconds() - 30);
       },
       updater::kTextExpiredUpdate, "manifest.php.minisig: release 10 expired at "},
      {"the US release served for EU", false,
       [](SignedRuns& t) {
         for (const char* name : {"manifest.json", "manifest.php"}) {
           fs::copy_file(t.serverSite("us") + "/" + name, t.serverSite("eu") + "/" + name,
                         fs::copy_options::overwrite_existing);
         }
         t.sign("eu", t.key_, {"us", 11, nowSeconds() + kDay});
       },
       updater::kTextOtherServerRelease, "signed for server \"us\", not \"eu\""},
      {"a tampered trusted comment", false,
       [&](SignedRuns& t) {
         const std::string path = t.serverSite("eu") + "/manifest.php.minisig";
         const std::string text = readFile(path);
         writeFile(path, replaceLine(text, 2, "trusted comment: " +
                                                  signing::releaseClaimText({"eu", 99, nowSeconds() + kDay})));
       },
       updater::kTextUntrustedUpdate, "the trusted comment does not match its signature"},
      {"a truncated signature", false,
       [](SignedRuns& t) {
         const std::string path = t.serverSite("eu") + "/manifest.php.minisig";
         writeFile(path, readFile(path).substr(0, 60));
       },
       updater::kTextUntrustedUpdate, "manifest.php.minisig: "},
      {"an oversize signature", false,
       [](SignedRuns& t) {
         const std::string path = t.serverSite("eu") + "/manifest.php.minisig";
         writeFile(path, readFile(path) + std::string(5000, '\n'));
       },
       updater::kTextUntrustedUpdate, "manifest.php.minisig: "},
      {"a garbage signature", false,
       [](SignedRuns& t) { writeFile(t.serverSite("eu") + "/manifest.php.minisig", std::string("\x00\xff<html>", 8)); },
       updater::kTextUntrustedUpdate, "manifest.php.minisig: "},
  };
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.name);
    fs::remove_all(sandbox_.install());
    fs::create_directories(sandbox_.install());
    trust({key_});
    resetSite();
    if (attack.installedFirst) {
      ASSERT_TRUE(run().ready());
    }
    const auto before = installedFiles();
    attack.tamper(*this);
    const RecordedRun refused = run();
    ASSERT_FALSE(refused.reports.empty());
    EXPECT_EQ(refused.events().back(), "ERROR " + std::string(attack.text));
    EXPECT_FALSE(refused.ready());
    EXPECT_NE(refused.reports.back().reason.find(attack.detail), std::string::npos) << refused.reports.back().reason;
    const std::string log = readFile(sandbox_.install() + "/curl_download.log");
    EXPECT_NE(log.find(std::string(attack.text) + ": "), std::string::npos) << log;
    EXPECT_NE(log.find(attack.detail), std::string::npos) << log;
    // Nothing tampered with is in place, nothing it holds unpacked; where
    // the refusal came before any file, nothing changed at all.
    const auto after = installedFiles();
    if (attack.forbidden.empty()) {
      for (const auto& [path, content] : after) {
        EXPECT_TRUE(before.count(path) != 0 && before.at(path) == content) << path << " changed";
      }
      EXPECT_EQ(after.size(), before.size());
    } else {
      for (const auto& [path, content] : after) EXPECT_NE(content, attack.forbidden) << path;
      EXPECT_EQ(after.count("eu/data/packed.txt"), 0u);
    }
    EXPECT_EQ(after.count("eu/manifest.meta") == 0, before.count("eu/manifest.meta") == 0);
    if (before.count("eu/manifest.meta") != 0) {
      EXPECT_EQ(after.at("eu/manifest.meta"), before.at("eu/manifest.meta"));
    }
  }
}

TEST_F(SignedRuns, ASignedSiteInstallsStaysAtTwoRequestsAndIsRenewedBehindItsStamp) {
  sign("eu", 10);
  const RecordedRun first = run();
  EXPECT_EQ(first.events(), (std::vector<std::string>{"STATUS Checking updates...", "READY"}));
  expectConverged(sandbox_, sandbox_.install(), 1, "vdclient_gl_x64", sandbox_.quickStamp(1));
  const std::string state = sandbox_.serverDir(1) + "/release.state";
  EXPECT_EQ(readFile(state).rfind("release 10\n", 0), 0u);

  nginx_.clearRequests();
  EXPECT_TRUE(run().ready());
  EXPECT_EQ(requestPaths(nginx_.requests()),
            (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php"}));

  // Past the accepted expiry, the unchanged stamp is not enough: the
  // manifests and their signatures, renewed for the same release, are read
  // again (without a reference of the quick form, the full one too).
  writeFile(state, "release 10\nexpires " + std::to_string(nowSeconds() - 5) + "\n");
  const std::int64_t renewed = nowSeconds() + 60 * kDay;
  sign("eu", key_, {"eu", 10, renewed});
  nginx_.clearRequests();
  EXPECT_TRUE(run().ready());
  EXPECT_EQ(requestPaths(nginx_.requests()),
            (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php",
                                      "/download/eu/manifest.php", "/download/eu/manifest.php.minisig",
                                      "/download/eu/manifest.json", "/download/eu/manifest.json.minisig"}));
  EXPECT_EQ(readFile(state), "release 10\nexpires " + std::to_string(renewed) + "\n");
}

TEST_F(SignedRuns, RotationsAreFollowedAndARevokedOrUnknownSignerRefused) {
  const SecretKey second = signing::generateSecretKey();
  const SecretKey third = signing::generateSecretKey();
  const SecretKey stranger = signing::generateSecretKey();
  const auto pub = [](const SecretKey& key) { return signing::publicKeyOf(key); };
  const std::string chain = sandbox_.site() + "/download/keys.rotation";
  writeFile(chain, signing::rotationChainText({signing::signRotation(key_, {1, {pub(second)}, {pub(key_)}}),
                                              signing::signRotation(second, {2, {pub(third)}, {pub(second)}})}));
  sign("eu", third, {"eu", 10, nowSeconds() + kDay});
  EXPECT_TRUE(run().ready());
  const std::optional<signing::TrustState> followed =
      signing::parseTrustState(readFile(sandbox_.install() + "/release_keys.state"));
  ASSERT_TRUE(followed);
  EXPECT_EQ(followed->sequence, 2u);
  EXPECT_EQ(followed->trusted, (std::vector<signing::PublicKey>{pub(third)}));

  // The first key, revoked, signs a newer release: refused, also after the
  // launcher reads the chain again.
  republish(11);
  sign("eu", key_, {"eu", 11, nowSeconds() + kDay});
  RecordedRun refused = run();
  EXPECT_EQ(refused.events().back(), "ERROR " + std::string(updater::kTextUntrustedUpdate));
  EXPECT_NE(refused.reports.back().reason.find("which is not trusted"), std::string::npos);

  // A fresh installation of the first key meets a chain whose first step a
  // stranger signed: nothing followed, nothing installed.
  fs::remove_all(sandbox_.install());
  fs::create_directories(sandbox_.install());
  trust({key_});
  writeFile(chain, signing::rotationChainText({signing::signRotation(stranger, {1, {pub(third)}, {}})}));
  sign("eu", third, {"eu", 12, nowSeconds() + kDay});
  refused = run();
  EXPECT_EQ(refused.events().back(), "ERROR " + std::string(updater::kTextUntrustedUpdate));
  EXPECT_NE(refused.reports.back().reason.find("the site's key rotation is refused"), std::string::npos)
      << refused.reports.back().reason;
  EXPECT_FALSE(fs::exists(sandbox_.install() + "/release_keys.state"));
  EXPECT_FALSE(fs::exists(sandbox_.serverDir(1) + "/data/font.ttf"));
}

TEST_F(SignedRuns, TheMinisignProgramsSignaturesAreAccepted) {
  const std::string keys = sandbox_.state("minisign");
  fs::create_directories(keys);
  ASSERT_EQ(std::system(("minisign -G -W -f -p " + keys + "/k.pub -s " + keys + "/k.key >/dev/null").c_str()), 0);
  const std::string publicText = readFile(keys + "/k.pub");
  writeFile(sandbox_.install() + "/release_keys", publicText.substr(publicText.find('\n') + 1));
  const std::string claim = signing::releaseClaimText({"eu", 3, nowSeconds() + kDay});
  for (const char* name : {"manifest.json", "manifest.php"}) {
    ASSERT_EQ(std::system(("minisign -S -s " + keys + "/k.key -m " + serverSite("eu") + "/" + name + " -t '" +
                           claim + "' </dev/null >/dev/null")
                              .c_str()),
              0);
  }
  EXPECT_TRUE(run().ready());
  expectConverged(sandbox_, sandbox_.install(), 1, "vdclient_gl_x64", sandbox_.quickStamp(1));
}

}  // namespace
}  // namespace kv::test
