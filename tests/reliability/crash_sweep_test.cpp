// Crash-consistency sweeps. The headless updater brings a few hundred files
// from a local HTTPS site and is killed with SIGKILL at the n-th write into
// the server folder, after random delays, during the extraction of a large
// archive, and starved with ENOSPC from the n-th write on; a configuration
// import is killed at its writes and renames. After every fault: nothing
// outside the folder in work changed, "manifest.json" is absent or a whole
// valid document whose entries are really installed, and one more run
// converges, after which a run costs exactly two requests.
//
// KV_SWEEP_POINTS sets the points per sweep (the long form), KV_SWEEP_SEED
// repeats a sweep.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "sweep_support.h"
#include "updater/update_harness.h"
#include "updater/archive_guard.h"
#include "updater/download_resume.h"
#include "updater/install_check.h"
#include "updater/install_record.h"
#include "updater/manifest.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

constexpr int kToolTimeoutMs = 180000;
constexpr int kFiles = 300;
constexpr int kPackEntries = 40;

std::string headlessBuild() { return sizeof(void*) == 8 ? "vdclient_dx_x64" : "vdclient_dx_x86"; }

class Sweep : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(nginx_.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
    writeFile(sandbox_.install() + "/system.kvml",
              "server: 1\nsiteHost: " + nginx_.hostPort() + "\ncaFile: " + testCertificates().caFile + "\n");
    writeFile(sandbox_.install() + "/data/keep.txt", "the working folder's own file\n");
  }

  // A client of kFiles ordinary files (1 KiB to 200 KiB, about 30 MiB in
  // all, so the run writes several checkpoints), a small archive unpacked on
  // arrival and the client build archive.
  void makeClient() {
    std::mt19937 random(7);
    for (int i = 0; i < kFiles; ++i) {
      char name[40];
      std::snprintf(name, sizeof name, "files/d%d/f%03d.pak", i % 7, i);
      const std::size_t size = std::uniform_int_distribution<std::size_t>(1024, 200 * 1024)(random);
      std::string content(size, '\0');
      for (std::size_t k = 0; k < size; k += 64) content[k] = static_cast<char>(random());
      writeFile(sandbox_.client(1) + "/" + name, content);
    }
    std::vector<ZipItem> packed;
    for (int i = 0; i < kPackEntries; ++i)
      packed.emplace_back("p" + std::to_string(i) + ".txt", std::string(3000, 'p'));
    writeZip(sandbox_.client(1) + "/files/pack.zip", packed);
    writeZip(sandbox_.client(1) + "/" + headlessBuild() + ".zip", {{headlessBuild() + ".exe", "exe"}});
    sandbox_.publish(1);
  }

  ProcessResult update(const std::vector<std::string>& environment = {}) {
    ChildOptions options;
    options.argv = {buildProgram("kvupdate")};
    options.workingDirectory = sandbox_.install();
    options.extraEnvironment = environment;
    return runProcess(options, kToolTimeoutMs);
  }

  // The installation before the first run: only the working folder's own
  // files.
  void resetInstall() {
    fs::remove_all(sandbox_.serverDir(1));
    fs::remove(sandbox_.install() + "/curl_download.log");
  }

  // Everything the sweep must never change: the outside folder and the
  // working folder apart from the server folder and the download log.
  std::map<std::string, std::string> untouched() const {
    auto tree = snapshotWithout(sandbox_.install(), {"eu", "curl_download.log"});
    for (const auto& [path, content] : sandbox_.snapshotOutside()) tree["outside/" + path] = content;
    return tree;
  }

  // The invariants of an interrupted run: the local manifest is absent or a
  // whole document, and every entry it records is really installed; a
  // recorded stamp means the installation is complete.
  void expectConsistent() {
    const std::string eu = sandbox_.serverDir(1);
    EXPECT_EQ(untouched(), baseline_);
    updater::ManifestMap local;
    ASSERT_TRUE(updater::readLocalManifest(eu, local)) << "manifest.json is not a whole document";
    for (const auto& [path, entry] : local) {
      if (updater::isUnpackedArchive(path)) {
        EXPECT_FALSE(exists(eu + "/" + path)) << path << " recorded before it was unpacked and removed";
        if (path == "files/pack.zip") {
          for (int i = 0; i < kPackEntries; ++i) {
            EXPECT_EQ(readFile(eu + "/files/p" + std::to_string(i) + ".txt"), std::string(3000, 'p'));
          }
        }
      } else {
        EXPECT_EQ(readFile(eu + "/" + path), readFile(sandbox_.client(1) + "/" + path)) << path;
      }
    }
    // Every file the record of unpacked files names for a recorded archive
    // is on disk with that size.
    updater::UnpackedFiles unpacked;
    ASSERT_TRUE(updater::readUnpackedRecord(eu, unpacked)) << "unpacked.json is not a whole document";
    for (const auto& [path, file] : unpacked) {
      if (local.count(file.archive) == 0) continue;
      EXPECT_EQ(fs::file_size(eu + "/" + path), static_cast<std::uintmax_t>(file.size)) << path;
    }
    if (exists(eu + "/manifest.meta")) {
      SCOPED_TRACE("a stamp was recorded: the installation must be complete");
      expectConverged(sandbox_, sandbox_.install(), 1, headlessBuild(), sandbox_.quickStamp(1));
    }
  }

  // One more run completes the installation; the run after it asks only for
  // the version text and the stamp. finishing (when given) receives the
  // requests of the run that completes it.
  void expectConvergence(std::vector<SeenRequest>* finishing = nullptr) {
    nginx_.clearRequests();
    const ProcessResult finish = update();
    ASSERT_EQ(finish.exitCode, 0) << finish.output << finish.errors;
    if (finishing != nullptr) *finishing = nginx_.requests();
    expectConverged(sandbox_, sandbox_.install(), 1, headlessBuild(), sandbox_.quickStamp(1));
    nginx_.clearRequests();
    const ProcessResult again = update();
    ASSERT_EQ(again.exitCode, 0) << again.output << again.errors;
    EXPECT_EQ(requestPaths(nginx_.requests()),
              (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php"}));
  }

  // The number of writes a whole first installation makes to paths
  // containing match, how long it takes, and how many renames it makes.
  long countWrites(const std::string& match, std::chrono::milliseconds* took = nullptr, long* renames = nullptr) {
    resetInstall();
    const std::string countFile = sandbox_.state("count") + "/writes";
    const std::string renameFile = sandbox_.state("count") + "/renames";
    fs::create_directories(sandbox_.state("count"));
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult run = update(faultEnvironment({match, 0, false, 0, countFile, renameFile}));
    if (renames != nullptr) *renames = readCount(renameFile);
    if (took != nullptr) {
      *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }
    EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
    return readCount(countFile);
  }

  // Publishes a client of count large files "big<i>.pak" (content(i)) and
  // the headless build.
  void publishBigFiles(int count, const std::function<std::string(int)>& content) {
    for (int i = 0; i < count; ++i) writeFile(sandbox_.client(1) + "/big" + std::to_string(i) + ".pak", content(i));
    writeZip(sandbox_.client(1) + "/" + headlessBuild() + ".zip", {{headlessBuild() + ".exe", "exe"}});
    sandbox_.publish(1);
  }

  // One update from a fresh installation under plan, killed there, or
  // (mayEnd) possibly ending first when the point lies beyond the run's
  // end; then the disk is checked and one more run must converge. Whether
  // the run was killed.
  bool killedUpdate(const FaultPlan& plan, bool mayEnd) {
    resetInstall();
    const ProcessResult run = update(faultEnvironment(plan));
    if (mayEnd) {
      EXPECT_TRUE(run.exitCode == 128 + SIGKILL || run.exitCode == 0) << run.exitCode << run.errors;
    } else {
      EXPECT_EQ(run.exitCode, 128 + SIGKILL) << run.output << run.errors;
    }
    expectConsistent();
    expectConvergence();
    return run.exitCode == 128 + SIGKILL;
  }

  Sandbox sandbox_;
  NginxServer nginx_;
  std::map<std::string, std::string> baseline_;
};

TEST_F(Sweep, UpdateKilledAtWritesAndAfterRandomDelays) {
  makeClient();
  std::mt19937 random = sweepRandom();
  baseline_ = untouched();
  const std::string match = "/install/eu/";
  std::chrono::milliseconds fullRun{};
  const long writes = countWrites(match, &fullRun);
  ASSERT_GT(writes, kFiles);
  std::cout << "a whole installation makes " << writes << " writes in " << fullRun.count() << " ms" << std::endl;

  int killed = 0;
  for (const long at : spreadPoints(writes, sweepPoints(8), random)) {
    SCOPED_TRACE("killed at write " + std::to_string(at));
    // Writes come in pieces as the network hands them over, so the last
    // points may lie beyond a run's end.
    killed += killedUpdate({match, at, false, 0, "", ""}, true) ? 1 : 0;
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(killed, 0);

  // Every write of the local manifest (the checkpoints and the final one)
  // and of the stamp record, the last write of a run.
  const std::string records = "/install/eu/manifest.";
  const long recordWrites = countWrites(records);
  ASSERT_GE(recordWrites, 3) << "expected checkpoints, the final manifest and the stamp";
  for (long at = 1; at <= recordWrites; ++at) {
    SCOPED_TRACE("killed at record write " + std::to_string(at));
    killed += killedUpdate({records, at, false, 0, "", ""}, false) ? 1 : 0;
    if (HasFatalFailure()) return;
  }

  // The journal's notes, before and after files take their places.
  const std::string journal = "/install/eu/update.journal";
  const long journalWrites = countWrites(journal);
  ASSERT_GT(journalWrites, kFiles);
  for (const long at : spreadPoints(journalWrites, sweepPoints(8), random)) {
    SCOPED_TRACE("killed at journal write " + std::to_string(at));
    killed += killedUpdate({journal, at, false, 0, "", ""}, false) ? 1 : 0;
    if (HasFatalFailure()) return;
  }

  const int delays = sweepPoints(8) / 2 + 1;
  for (int i = 0; i < delays; ++i) {
    const int delayMs = std::uniform_int_distribution<int>(0, static_cast<int>(fullRun.count()))(random);
    SCOPED_TRACE("killed after " + std::to_string(delayMs) + " ms");
    resetInstall();
    ChildProcess child;
    ChildOptions options;
    options.argv = {buildProgram("kvupdate")};
    options.workingDirectory = sandbox_.install();
    std::string error;
    ASSERT_TRUE(child.start(options, error)) << error;
    // A bounded wait that ends the run when the delay is over.
    if (child.wait(delayMs) < 0) {
      child.signalGroup(SIGKILL);
      ++killed;
    }
    const int status = child.wait(kToolTimeoutMs);
    ASSERT_TRUE(status == 128 + SIGKILL || status == 0) << status;
    expectConsistent();
    expectConvergence();
    if (HasFatalFailure()) return;
  }
  std::cout << "kill points tried: " << killed << std::endl;
}

TEST_F(Sweep, UpdateKilledWhileUnpackingALargeArchive) {
  constexpr int kEntries = 2000;
  std::vector<ZipItem> entries;
  std::mt19937 filler(11);
  for (int i = 0; i < kEntries; ++i) {
    std::string content(4096 + i % 1000, '\0');
    for (auto& c : content) c = static_cast<char>('a' + filler() % 26);
    char name[32];
    std::snprintf(name, sizeof name, "x-%04d.dat", i);
    entries.emplace_back(name, content);
  }
  writeZip(sandbox_.client(1) + "/big.zip", entries);
  writeFile(sandbox_.client(1) + "/a.pak", "a");
  writeZip(sandbox_.client(1) + "/" + headlessBuild() + ".zip", {{headlessBuild() + ".exe", "exe"}});
  sandbox_.publish(1);
  std::mt19937 random = sweepRandom();
  baseline_ = untouched();

  const std::string match = "/install/eu/x-";
  const long writes = countWrites(match);
  ASSERT_GE(writes, kEntries);
  for (const long at : spreadPoints(writes, sweepPoints(6), random)) {
    SCOPED_TRACE("killed at extraction write " + std::to_string(at));
    resetInstall();
    const ProcessResult run = update(faultEnvironment({match, at, false, 0, "", ""}));
    ASSERT_EQ(run.exitCode, 128 + SIGKILL) << run.output << run.errors;
    expectConsistent();
    updater::ManifestMap local;
    ASSERT_TRUE(updater::readLocalManifest(sandbox_.serverDir(1), local));
    EXPECT_EQ(local.count("big.zip"), 0u) << "an archive cut off in its extraction was recorded";
    expectConvergence();
    for (const ZipItem& entry : entries) {
      ASSERT_EQ(readFile(sandbox_.serverDir(1) + "/" + entry.name), entry.data) << entry.name;
    }
    if (HasFatalFailure()) return;
  }
}

// An update of large files killed at their writes and at the renames that
// put them in place: each file is its old or its new whole version, never a
// torn one, and the next run converges, asking only for the rest of a file
// whose temporary was recorded.
TEST_F(Sweep, UpdateOfLargeFilesKilledKeepsOldOrNewWholeFiles) {
  constexpr int kBig = 3;
  const auto content = [](int version, int i) {
    return std::string(std::size_t{6} << 20, static_cast<char>('a' + 4 * version + i));
  };
  const auto publishVersion = [&](int version) { publishBigFiles(kBig, [&](int i) { return content(version, i); }); };
  publishVersion(1);
  ASSERT_EQ(update().exitCode, 0);
  const std::string saved = sandbox_.state("version1");
  fs::copy(sandbox_.serverDir(1), saved, fs::copy_options::recursive);
  publishVersion(2);
  std::mt19937 random = sweepRandom();
  const std::string match = "/install/eu/big";
  long renames = 0;
  const long writes = countWrites(match, nullptr, &renames);
  ASSERT_GT(writes, kBig);
  ASSERT_GE(renames, kBig) << "each file is put in place by a rename (the records of its temporary add more)";

  std::vector<FaultPlan> plans;
  for (const long at : spreadPoints(writes, sweepPoints(6), random)) {
    plans.push_back({match, at, false, 0, "", ""});
  }
  for (long at = 1; at <= renames; ++at) plans.push_back({match, 0, false, at, "", ""});
  int killed = 0;
  int resumed = 0;
  for (const FaultPlan& plan : plans) {
    SCOPED_TRACE("killed at write " + std::to_string(plan.writeAt) + ", rename " + std::to_string(plan.renameAt));
    resetInstall();
    fs::copy(saved, sandbox_.serverDir(1), fs::copy_options::recursive);
    const ProcessResult run = update(faultEnvironment(plan));
    ASSERT_TRUE(run.exitCode == 128 + SIGKILL || run.exitCode == 0) << run.exitCode << run.errors;
    killed += run.exitCode == 128 + SIGKILL ? 1 : 0;
    std::map<std::string, std::string> expectedRanges;  // request path -> Range the next run must send
    for (int i = 0; i < kBig; ++i) {
      const std::string name = "big" + std::to_string(i) + ".pak";
      const std::string now = readFile(sandbox_.serverDir(1) + "/" + name);
      EXPECT_TRUE(now == content(1, i) || now == content(2, i)) << "big" << i << " is torn: " << now.size()
                                                                 << " bytes";
      const std::string part = sandbox_.serverDir(1) + "/" + name + ".kvpart";
      if (exists(part + ".info") && exists(part)) {
        const std::string held = readFile(part);
        EXPECT_EQ(held, content(2, i).substr(0, held.size())) << name << ": the temporary is not a prefix";
        if (!held.empty() && held.size() < content(2, i).size()) {
          expectedRanges["/download/eu/" + name] = "bytes=" + std::to_string(held.size()) + "-";
        }
      }
    }
    std::vector<SeenRequest> finishing;
    expectConvergence(&finishing);
    for (const SeenRequest& seen : finishing) {
      const auto it = expectedRanges.find(seen.path);
      if (it == expectedRanges.end()) continue;
      EXPECT_EQ(seen.range, it->second) << seen.path;
      EXPECT_FALSE(seen.ifRange.empty()) << seen.path;
      EXPECT_EQ(seen.status, "206") << seen.path;
      resumed += seen.range == it->second ? 1 : 0;
    }
    for (int i = 0; i < kBig; ++i) {
      EXPECT_EQ(readFile(sandbox_.serverDir(1) + "/big" + std::to_string(i) + ".pak"), content(2, i)) << i;
    }
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(killed, kBig + 1) << "the rename points and some write points must kill";
  EXPECT_GT(resumed, 0) << "no killed download was continued";
  std::cout << "kill points: " << killed << " of " << plans.size() << " (" << renames
            << " renames), downloads continued: " << resumed << std::endl;
}

// A delta update of large packs (each put together from its installed
// version and byte ranges) killed at its writes and at the renames: each
// pack is its old or its new whole version, the record names only what is
// installed, and the next run converges, again in byte ranges.
TEST_F(Sweep, DeltaUpdateKilledKeepsOldOrNewWholeFiles) {
  constexpr int kBig = 2;
  const auto content = [](int version, int i) {
    std::string bytes(std::size_t{6} << 20, '\0');
    std::uint64_t state = 11 + static_cast<std::uint64_t>(i);
    for (char& c : bytes) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      c = static_cast<char>(state >> 56);
    }
    if (version == 2) {
      bytes.replace(std::size_t{2} << 20, 100000, std::string(100000, 'v'));
      bytes.insert(std::size_t{4} << 20, "inserted by the second version");
    }
    return bytes;
  };
  const auto publishVersion = [&](int version) { publishBigFiles(kBig, [&](int i) { return content(version, i); }); };
  publishVersion(1);
  ASSERT_EQ(update().exitCode, 0);
  baseline_ = untouched();
  const std::string saved = sandbox_.state("version1");
  fs::copy(sandbox_.serverDir(1), saved, fs::copy_options::recursive);
  publishVersion(2);
  // A new stamp, whatever second the publication fell in.
  const fs::path manifestPhp = sandbox_.site() + "/download/eu/manifest.php";
  fs::last_write_time(manifestPhp, fs::last_write_time(manifestPhp) + std::chrono::seconds(2));
  const auto restore = [&] {
    resetInstall();
    fs::copy(saved, sandbox_.serverDir(1), fs::copy_options::recursive);
  };
  const std::string match = "/install/eu/big";
  restore();
  const std::string countFile = sandbox_.state("count") + "/delta-writes";
  const std::string renameFile = sandbox_.state("count") + "/delta-renames";
  fs::create_directories(sandbox_.state("count"));
  ASSERT_EQ(update(faultEnvironment({match, 0, false, 0, countFile, renameFile})).exitCode, 0);
  const long writes = readCount(countFile);
  const long renames = readCount(renameFile);
  ASSERT_GT(writes, kBig);
  ASSERT_GE(renames, kBig);

  std::mt19937 random = sweepRandom();
  std::vector<FaultPlan> plans;
  for (const long at : spreadPoints(writes, sweepPoints(6), random)) plans.push_back({match, at, false, 0, "", ""});
  for (long at = 1; at <= renames; ++at) plans.push_back({match, 0, false, at, "", ""});
  int killed = 0;
  for (const FaultPlan& plan : plans) {
    SCOPED_TRACE("killed at write " + std::to_string(plan.writeAt) + ", rename " + std::to_string(plan.renameAt));
    restore();
    const ProcessResult run = update(faultEnvironment(plan));
    ASSERT_TRUE(run.exitCode == 128 + SIGKILL || run.exitCode == 0) << run.exitCode << run.errors;
    killed += run.exitCode == 128 + SIGKILL ? 1 : 0;
    for (int i = 0; i < kBig; ++i) {
      const std::string now = readFile(sandbox_.serverDir(1) + "/big" + std::to_string(i) + ".pak");
      EXPECT_TRUE(now == content(1, i) || now == content(2, i)) << "big" << i << " is torn: " << now.size()
                                                                 << " bytes";
    }
    // The record is true: every file it names has the hash it lists.
    EXPECT_EQ(untouched(), baseline_);
    updater::ManifestMap local;
    ASSERT_TRUE(updater::readLocalManifest(sandbox_.serverDir(1), local)) << "manifest.json is not a whole document";
    for (const auto& [path, entry] : local) {
      if (updater::isUnpackedArchive(path)) continue;
      EXPECT_TRUE(updater::matchesSha256(
          updater::fileSha256Hex(sandbox_.serverDir(1) + "/" + path).value_or(""), entry.hash))
          << path;
    }
    std::vector<SeenRequest> finishing;
    expectConvergence(&finishing);
    for (const SeenRequest& seen : finishing) {
      if (seen.path.rfind("/download/eu/big", 0) == 0) {
        EXPECT_EQ(seen.status, "206") << seen.path << " came whole";
      }
    }
    for (int i = 0; i < kBig; ++i) {
      EXPECT_TRUE(readFile(sandbox_.serverDir(1) + "/big" + std::to_string(i) + ".pak") == content(2, i)) << i;
    }
    EXPECT_FALSE(exists(sandbox_.install() + "/curl_download.log")) << readFile(sandbox_.install() + "/curl_download.log");
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(killed, kBig + 1) << "the rename points and some write points must kill";
  std::cout << "kill points: " << killed << " of " << plans.size() << " (" << writes << " writes, " << renames
            << " renames)" << std::endl;
}

TEST_F(Sweep, FullDiskRecordsOnlyWholeFiles) {
  makeClient();
  std::mt19937 random = sweepRandom();
  baseline_ = untouched();
  const std::string match = "/install/eu/";
  const long writes = countWrites(match);
  ASSERT_GT(writes, kFiles);
  for (const long at : spreadPoints(writes, sweepPoints(6), random)) {
    SCOPED_TRACE("disk full from write " + std::to_string(at));
    resetInstall();
    const ProcessResult run = update(faultEnvironment({match, at, true, 0, "", ""}));
    if (run.exitCode == 0) {
      // The pieces came in fewer writes this time and the disk filled only
      // at the records, or never: every file is in place, and the stamp is
      // recorded only with a manifest that could be written.
      if (exists(sandbox_.serverDir(1) + "/manifest.meta")) {
        expectConverged(sandbox_, sandbox_.install(), 1, headlessBuild(), sandbox_.quickStamp(1));
      }
    } else {
      EXPECT_EQ(run.exitCode, 1) << run.output << run.errors;
      EXPECT_FALSE(run.errors.empty() && run.output.empty()) << "a failure without a report";
      EXPECT_FALSE(exists(sandbox_.serverDir(1) + "/manifest.meta"));
    }
    expectConsistent();
    expectConvergence();
    if (HasFatalFailure()) return;
  }
}

// The configuration in force is the server's own folder "eu/config"; an
// import replaces it. Killed at any write or rename, the folder holds the
// whole old or the whole new configuration, and importing again succeeds.
TEST_F(Sweep, ImportKilledKeepsOneWholeConfiguration) {
  const std::string config = sandbox_.serverDir(1) + "/config";
  const std::string archive = sandbox_.state("import") + "/export.zip";
  std::vector<ZipItem> entries = {{"config.kvml", "enableAudio: false\nvolume: 7\n"}};
  for (int i = 0; i < 60; ++i) {
    entries.emplace_back("characters/c" + std::to_string(i) + ".kvml", std::string(4000 + i, 'n'));
  }
  writeZip(archive, entries);
  const auto writeOld = [&] {
    fs::remove_all(config);
    writeFile(config + "/config.kvml", "enableAudio: true\nvolume: 50\n");
    for (int i = 0; i < 30; ++i) writeFile(config + "/characters/old" + std::to_string(i) + ".kvml", "old");
  };
  writeOld();
  const auto oldTree = snapshotTree(config);
  std::map<std::string, std::string> newTree;
  for (const ZipItem& entry : entries) newTree[entry.name] = entry.data;
  newTree["characters"] = "<dir>";
  const std::string home = sandbox_.state("home");
  fs::create_directories(home);

  const auto runImport = [&](const FaultPlan& plan) {
    ChildOptions options;
    options.argv = {buildProgram("kv_import_helper"), sandbox_.install(), home, archive};
    options.extraEnvironment = faultEnvironment(plan);
    return runProcess(options, kToolTimeoutMs);
  };
  // Leftovers of an interrupted import: temporary and staging folders.
  const auto clearLeftovers = [&] {
    for (const auto& entry : fs::directory_iterator(sandbox_.install())) {
      if (entry.path().filename().string().rfind("config_import_tmp", 0) == 0) fs::remove_all(entry.path());
    }
    for (const auto& entry : fs::directory_iterator(sandbox_.serverDir(1))) {
      if (entry.path().filename().string() != "config") fs::remove_all(entry.path());
    }
  };
  const auto outsideBefore = sandbox_.snapshotOutside();

  const std::string counts = sandbox_.state("count");
  fs::create_directories(counts);
  const ProcessResult counted = runImport({sandbox_.install(), 0, false, 0, counts + "/w", counts + "/r"});
  ASSERT_EQ(counted.exitCode, 0) << counted.output << counted.errors;
  ASSERT_TRUE(snapshotTree(config) == newTree) << "the import did not bring the new configuration";
  const long writes = readCount(counts + "/w");
  const long renames = readCount(counts + "/r");
  ASSERT_GT(writes, 60);
  ASSERT_GE(renames, 2);

  std::mt19937 random = sweepRandom();
  std::vector<FaultPlan> plans;
  for (const long at : spreadPoints(writes, sweepPoints(8), random)) plans.push_back({sandbox_.install(), at});
  for (long at = 1; at <= renames; ++at) plans.push_back({sandbox_.install(), 0, false, at});
  for (const FaultPlan& plan : plans) {
    SCOPED_TRACE("killed at write " + std::to_string(plan.writeAt) + ", rename " + std::to_string(plan.renameAt));
    writeOld();
    clearLeftovers();
    const ProcessResult run = runImport(plan);
    EXPECT_EQ(run.exitCode, 128 + SIGKILL) << run.output << run.errors;
    const auto after = snapshotTree(config);
    EXPECT_TRUE(after == oldTree || after == newTree) << "the configuration folder is neither the old nor the new one ("
                                                       << after.size() << " entries)";
    EXPECT_EQ(sandbox_.snapshotOutside(), outsideBefore);
    const ProcessResult again = runImport({});
    EXPECT_EQ(again.exitCode, 0) << again.output << again.errors;
    EXPECT_TRUE(snapshotTree(config) == newTree) << "a second import did not bring the new configuration";
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace kv::test
