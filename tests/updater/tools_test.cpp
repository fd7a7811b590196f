// The two command-line tools end to end: kvpublish builds the site, nginx or
// the scripted server serves it, kvupdate brings an installation up to date
// in its current folder; also runs killed with SIGKILL at chosen moments.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "base/launcher_version.h"
#include "update_harness.h"
#include "updater/manifest.h"

namespace kv::test {
namespace {

constexpr int kToolTimeoutMs = 120000;

std::string binary(const std::string& name) {
  const char* dir = std::getenv("KV_BIN_DIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/" + name;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/" + name;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// The status lines without the timing-dependent download texts and summary.
std::vector<std::string> statusLines(const std::string& output) {
  std::vector<std::string> out;
  for (const auto& line : lines(output)) {
    if (line.rfind("Downloading: ", 0) != 0 && line.rfind("Summary: ", 0) != 0) out.push_back(line);
  }
  return out;
}

// The summary line of a kvupdate run (its last line) with the time taken
// written as "T".
std::string summaryOf(const std::string& output) {
  const auto all = lines(output);
  if (all.empty() || all.back().rfind("Summary: ", 0) != 0) return "<no summary>";
  std::string line = all.back();
  const std::size_t in = line.find(" in ");
  const std::size_t comma = line.find(", ", in);
  if (in != std::string::npos && comma != std::string::npos) line.replace(in + 4, comma - in - 4, "T");
  return line;
}

// What kvpublish printed, without the timed lines of its steps.
std::vector<std::string> publishSummary(const std::string& output) {
  std::vector<std::string> out;
  for (const auto& line : lines(output)) {
    if (line.rfind("hashing: ", 0) != 0 && line.rfind("comparing and copying: ", 0) != 0) out.push_back(line);
  }
  return out;
}

std::string headlessBuild() { return sizeof(void*) == 8 ? "vdclient_dx_x64" : "vdclient_dx_x86"; }

class Tools : public ::testing::Test {
 protected:
  ProcessResult publish(const std::vector<std::string>& args) {
    ChildOptions options;
    options.argv = {binary("kvpublish")};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    return runProcess(options, kToolTimeoutMs);
  }
  ProcessResult update(const std::string& folder, const std::vector<std::string>& args = {}) {
    ChildOptions options;
    options.argv = {binary("kvupdate")};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.workingDirectory = folder;
    return runProcess(options, kToolTimeoutMs);
  }
  void writeSettings(const std::string& folder, const std::string& host, const std::string& extra = "server: 1\n") {
    writeFile(folder + "/system.kvml", extra + "siteHost: " + host + "\ncaFile: " + testCertificates().caFile + "\n");
  }
  void makeClient(int server, const std::string& flavour) {
    writeFile(sandbox_.client(server) + "/a.pak", "a " + flavour);
    writeFile(sandbox_.client(server) + "/data/b.pak", "b " + flavour);
    writeZip(sandbox_.client(server) + "/" + headlessBuild() + ".zip", {{headlessBuild() + ".exe", "exe " + flavour}});
  }

  Sandbox sandbox_;
};

TEST_F(Tools, PublishThenUpdateEndToEnd) {
  makeClient(1, "eu");
  const ProcessResult published = publish({"--server", "eu", sandbox_.client(1), sandbox_.site()});
  ASSERT_EQ(published.exitCode, 0) << published.errors;
  const auto summary = publishSummary(published.output);
  ASSERT_EQ(summary.size(), 3u) << published.output;
  EXPECT_EQ(summary[0].rfind("eu: 3 files (", 0), 0u) << summary[0];
  EXPECT_NE(summary[0].find(", 3 copied ("), std::string::npos) << summary[0];
  EXPECT_EQ(summary[1], "first manifest of this server: 3 added");
  EXPECT_EQ(summary[2], "version text set to \"" + std::string(kLauncherVersionText) + "\"");
  EXPECT_NE(published.output.find("hashing: 3 files, "), std::string::npos) << published.output;
  EXPECT_NE(published.errors.find("kvpublish: warning: no \"oldlibs.zip\""), std::string::npos) << published.errors;
  EXPECT_EQ(readFile(sandbox_.site() + "/download/updater.php"), kLauncherVersionText);

  NginxServer nginx;
  std::string error;
  ASSERT_TRUE(nginx.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
  writeSettings(sandbox_.install(), nginx.hostPort());

  const ProcessResult first = update(sandbox_.install());
  EXPECT_EQ(first.exitCode, 0) << first.output << first.errors;
  EXPECT_EQ(statusLines(first.output), (std::vector<std::string>{"Checking updates...", "Client is ready to play"}));
  EXPECT_EQ(first.errors, "");
  EXPECT_EQ(summaryOf(first.output).rfind("Summary: eu: 3 files updated, ", 0), 0u) << first.output;
  EXPECT_NE(summaryOf(first.output).find(" in T, client ready"), std::string::npos) << first.output;
  expectConverged(sandbox_, sandbox_.install(), 1, headlessBuild(), sandbox_.quickStamp(1));
  EXPECT_EQ(readFile(sandbox_.serverDir(1) + "/" + headlessBuild() + ".exe"), "exe eu");

  nginx.clearRequests();
  const ProcessResult second = update(sandbox_.install());
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(statusLines(second.output), std::vector<std::string>{"Client is ready to play"});
  EXPECT_EQ(summaryOf(second.output), "Summary: eu: 0 files updated, 0 B fetched of 0 B in T, client ready");
  EXPECT_EQ(requestPaths(nginx.requests()),
            (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php"}));

  // One flipped byte: the start of a plain run reads no content and misses
  // it; --verify finds it and fetches the file again.
  const std::string aPak = sandbox_.serverDir(1) + "/a.pak";
  std::string flipped = readFile(aPak);
  flipped[0] ^= 0x20;
  writeFile(aPak, flipped);
  nginx.clearRequests();
  EXPECT_EQ(update(sandbox_.install()).exitCode, 0);
  EXPECT_EQ(readFile(aPak), flipped);
  const ProcessResult verified = update(sandbox_.install(), {"--verify"});
  EXPECT_EQ(verified.exitCode, 0) << verified.output << verified.errors;
  const auto verifiedLines = lines(verified.output);
  ASSERT_GE(verifiedLines.size(), 3u);
  // The client build's executable, unpacked from its archive, is checked too.
  EXPECT_EQ(verifiedLines[verifiedLines.size() - 3], "Verify: eu: 3 files checked, 1 damaged, 1 repaired");
  EXPECT_EQ(verifiedLines[verifiedLines.size() - 2], "  damaged: eu/a.pak, repaired");
  EXPECT_EQ(summaryOf(verified.output), "Summary: eu: 1 file updated, 4 B fetched of 4 B in T, client ready");
  EXPECT_EQ(readFile(aPak), "a eu");
  EXPECT_EQ(requestPaths(nginx.requests()),
            (std::vector<std::string>{"/download/updater.php", "/download/eu/manifest.php", "/download/updater.php",
                                      "/download/eu/manifest.php", "/download/eu/manifest.json",
                                      "/download/eu/a.pak"}));
  const ProcessResult clean = update(sandbox_.install(), {"--verify"});
  EXPECT_NE(clean.output.find("Verify: eu: 3 files checked, 0 damaged, 0 repaired\n"), std::string::npos)
      << clean.output;

  // What an archive unpacked is checked like a listed file: a missing one
  // gets its archive fetched and unpacked again by a plain run, a changed
  // byte is found by --verify.
  const std::string exe = sandbox_.serverDir(1) + "/" + headlessBuild() + ".exe";
  ASSERT_TRUE(std::filesystem::remove(exe));
  nginx.clearRequests();
  const ProcessResult restored = update(sandbox_.install());
  EXPECT_EQ(restored.exitCode, 0) << restored.output << restored.errors;
  EXPECT_EQ(readFile(exe), "exe eu");
  EXPECT_EQ(requestPaths(nginx.requests()).back(), "/download/eu/" + headlessBuild() + ".zip");
  std::string changed = readFile(exe);
  changed[0] ^= 0x20;
  writeFile(exe, changed);
  const ProcessResult found = update(sandbox_.install(), {"--verify"});
  EXPECT_NE(found.output.find("Verify: eu: 3 files checked, 1 damaged, 1 repaired\n"), std::string::npos)
      << found.output;
  EXPECT_EQ(readFile(exe), "exe eu");

  // Nothing published for the other server: no stamp, an error, exit 1.
  const ProcessResult us = update(sandbox_.install(), {"--server", "us"});
  EXPECT_EQ(us.exitCode, 1);
  EXPECT_EQ(us.output.substr(0, us.output.find('\n') + 1), "The updater is being prepared for download\n");
  // Standard error names the site and the reason; the summary carries both.
  const std::string site = nginx.hostPort() + ": HTTP status code: 404";
  EXPECT_EQ(summaryOf(us.output),
            "Summary: us: 0 files updated, 0 B fetched of 0 B in T, not ready: The updater is being prepared for download (" + site +
                ")");
  EXPECT_EQ(us.errors, "kvupdate: " + site + "\n");

  // A newer launcher on the site.
  ASSERT_EQ(publish({"--server", "eu", "--version-text", "KVLauncher Version 0.30", sandbox_.client(1),
                     sandbox_.site()})
                .exitCode,
            0);
  const ProcessResult outdated = update(sandbox_.install());
  EXPECT_EQ(outdated.exitCode, 1);
  EXPECT_EQ(statusLines(outdated.output), std::vector<std::string>{"Download the new version of KVLauncher"});
}

// A site kvpublish signed with a key the minisign program made: kvupdate in
// a folder that trusts the key installs it; trusting another key, it ends
// with the refusal, its reason and exit 1, and installs nothing.
TEST_F(Tools, SignedPublishAndARefusedUpdate) {
  makeClient(1, "eu");
  const std::string keys = sandbox_.state("keys");
  std::filesystem::create_directories(keys);
  for (const char* name : {"a", "b"}) {
    const std::string stem = keys + "/" + name;
    ASSERT_EQ(std::system(("minisign -G -W -f -p " + stem + ".pub -s " + stem + ".key >/dev/null").c_str()), 0);
  }
  const auto keyLine = [&](const char* name) {
    const std::string text = readFile(keys + "/" + name + ".pub");
    return text.substr(text.find('\n') + 1);
  };
  const ProcessResult published =
      publish({"--sign", keys + "/a.key", "--server", "eu", sandbox_.client(1), sandbox_.site()});
  ASSERT_EQ(published.exitCode, 0) << published.errors;
  NginxServer nginx;
  std::string error;
  ASSERT_TRUE(nginx.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;

  const std::string refusedFolder = sandbox_.state("refused");
  std::filesystem::create_directories(refusedFolder);
  writeSettings(refusedFolder, nginx.hostPort());
  writeFile(refusedFolder + "/release_keys", keyLine("b"));
  const ProcessResult refused = update(refusedFolder);
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(lines(refused.output).front(), "The update is not signed by a trusted key");
  EXPECT_NE(summaryOf(refused.output).find("not ready: The update is not signed by a trusted key ("),
            std::string::npos)
      << refused.output;
  EXPECT_NE(refused.errors.find("manifest.php.minisig: signed by key "), std::string::npos) << refused.errors;
  EXPECT_FALSE(std::filesystem::exists(refusedFolder + "/eu/a.pak"));

  writeSettings(sandbox_.install(), nginx.hostPort());
  writeFile(sandbox_.install() + "/release_keys", "# the site's key\n" + keyLine("a"));
  const ProcessResult installed = update(sandbox_.install());
  EXPECT_EQ(installed.exitCode, 0) << installed.output << installed.errors;
  EXPECT_EQ(readFile(sandbox_.serverDir(1) + "/a.pak"), "a eu");
}

TEST_F(Tools, MisuseExitsWithTwo) {
  EXPECT_EQ(update(sandbox_.install(), {"--server", "asia"}).exitCode, 2);
  EXPECT_EQ(update(sandbox_.install(), {"extra"}).exitCode, 2);
  EXPECT_EQ(publish({"--server", "eu", sandbox_.client(1)}).exitCode, 2);
  EXPECT_EQ(publish({sandbox_.client(1), sandbox_.site()}).exitCode, 2);
  EXPECT_TRUE(snapshotTree(sandbox_.install()).empty());
  EXPECT_TRUE(snapshotTree(sandbox_.site()).empty());
}

TEST_F(Tools, PublishRefusesAndWarns) {
  writeFile(sandbox_.client(1) + "/a.pak", "a");
  writeFile(sandbox_.client(1) + "/config/config.kvml", "account: me\n");
  const ProcessResult refused = publish({"--server", "eu", sandbox_.client(1), sandbox_.site()});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.errors.find("kvpublish: error: \"config/config.kvml\" is a path the launcher refuses: it names "
                                "the launcher's own files in the server folder\n"),
            std::string::npos)
      << refused.errors;
  EXPECT_TRUE(refused.errors.ends_with("kvpublish: nothing was published\n")) << refused.errors;
  EXPECT_TRUE(snapshotTree(sandbox_.site()).empty());

  // An archive entry keeps the rules of a listed file.
  std::filesystem::remove_all(sandbox_.client(1) + "/config");
  writeZip(sandbox_.client(1) + "/data/pack.zip", {{"sub/", ""}, {"sub/x.txt", "x"}, {"sub/b?d.txt", "x"}});
  const ProcessResult entry = publish({"--server", "eu", sandbox_.client(1), sandbox_.site()});
  EXPECT_EQ(entry.exitCode, 1);
  EXPECT_NE(entry.errors.find("kvpublish: error: \"data/pack.zip\": entry \"sub/b?d.txt\" holds '?', which the "
                              "Windows program cannot put in a file name\n"),
            std::string::npos)
      << entry.errors;
  EXPECT_EQ(entry.errors.find("\"sub/x.txt"), std::string::npos) << entry.errors;
  EXPECT_TRUE(entry.errors.ends_with("kvpublish: nothing was published\n")) << entry.errors;
  EXPECT_TRUE(snapshotTree(sandbox_.site()).empty());

  // What players may miss only warns, unless --strict refuses it, saying so.
  std::filesystem::remove(sandbox_.client(1) + "/data/pack.zip");
  writeFile(sandbox_.client(1) + "/data/bad.zip", "<html>not a zip</html>");
  const ProcessResult strict = publish({"--server", "eu", "--strict", sandbox_.client(1), sandbox_.site()});
  EXPECT_EQ(strict.exitCode, 1);
  EXPECT_NE(strict.errors.find("kvpublish: error: --strict: \"data/bad.zip\": not a readable ZIP archive"),
            std::string::npos)
      << strict.errors;
  EXPECT_TRUE(snapshotTree(sandbox_.site()).empty());
  const ProcessResult warned = publish({"--server", "eu", sandbox_.client(1), sandbox_.site()});
  EXPECT_EQ(warned.exitCode, 0);
  EXPECT_NE(warned.errors.find("kvpublish: warning: \"data/bad.zip\": not a readable ZIP archive"), std::string::npos)
      << warned.errors;
  EXPECT_EQ(warned.errors.find("--strict"), std::string::npos) << warned.errors;
}

// Message boxes become lines on standard error; the failed run exits 1.
TEST_F(Tools, FailedDownloadsReportOnStandardError) {
  makeClient(1, "eu");
  sandbox_.publish(1);
  ScriptedServer server;
  std::string error;
  ASSERT_TRUE(server.start(sandbox_.site(), sandbox_.state("scripted"), testCertificates(), error)) << error;
  server.setRules(R"({"/download/eu/a.pak": {"status": 404, "body": "<h1>Not Found</h1>"}})");
  writeSettings(sandbox_.install(), server.hostPort());
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = update(sandbox_.install());
  // The tool keeps the real pause of 2 s before each of the two retries.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(statusLines(r.output), (std::vector<std::string>{"Checking updates...",
                                                             "Connection failed (a.pak), retrying... (1/3)",
                                                             "Connection failed (a.pak), retrying... (2/3)",
                                                             "Connection failed (a.pak) after 3 attempts"}));
  // Each failure line names the file and the reason, as the log does.
  EXPECT_EQ(r.errors,
            "HTTP Error: eu/a.pak: HTTP status code: 404\n"
            "HTTP Error: eu/a.pak: HTTP status code: 404\n"
            "HTTP Error: eu/a.pak: HTTP status code: 404\n");
  // The summary carries the reason standard error gave; the other two files
  // went on while a.pak waited between its attempts, and are installed.
  // What was fetched counts the error pages too.
  const std::string summary = summaryOf(r.output);
  EXPECT_EQ(summary.rfind("Summary: eu: 2 files updated, ", 0), 0u) << summary;
  EXPECT_TRUE(summary.ends_with(" fetched of 146 B in T, not ready: Connection failed (a.pak) after "
                                "3 attempts (eu/a.pak: HTTP status code: 404)"))
      << summary;
}

// Which server a settings file selects.
// "downloadLimitKBps" holds a whole run (all its transfers together) to the
// rate; "--limit-rate" replaces it for one run, 0 lifting it.
TEST_F(Tools, TheDownloadLimitHoldsTheWholeRun) {
  makeClient(1, "eu");
  for (int i = 0; i < 4; ++i) {
    writeFile(sandbox_.client(1) + "/big" + std::to_string(i) + ".pak", std::string(1 << 20, 'b'));
  }
  sandbox_.publish(1);
  NginxServer nginx;
  std::string error;
  ASSERT_TRUE(nginx.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
  const struct {
    std::string name;
    std::vector<std::string> args;
    bool limited;  // 4 MiB at 1024 KB/s: at least 3.75 s
  } cases[] = {
      {"setting", {}, true},
      {"option", {"--limit-rate", "0"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = sandbox_.install() + "/" + c.name;
    std::filesystem::create_directories(folder);
    writeSettings(folder, nginx.hostPort(), "server: 1\ndownloadLimitKBps: 1024\n");
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = update(folder, c.args);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(readFile(folder + "/eu/big3.pak"), std::string(1 << 20, 'b'));
    EXPECT_EQ(took >= std::chrono::milliseconds(3750), c.limited)
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  }
}

TEST_F(Tools, ServerChoiceFromTheSettings) {
  makeClient(1, "eu");
  makeClient(2, "us");
  sandbox_.publish(1);
  sandbox_.publish(2);
  NginxServer nginx;
  std::string error;
  ASSERT_TRUE(nginx.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
  const struct {
    std::string name;
    std::string serverLine;
    std::vector<std::string> args;
    std::string updated;
  } cases[] = {
      {"eu", "server: 1\n", {}, "eu"},
      {"crlf", "server: 1\r\n", {}, "eu"},
      {"missing", "", {}, "us"},
      {"out of range", "server: 7\n", {}, "us"},
      {"negative", "server: -3\n", {}, "us"},
      {"not a number", "server: abc\n", {}, "us"},
      {"bom", "\xef\xbb\xbfserver: 1\n", {}, "us"},
      {"option wins", "server: 1\n", {"--server", "us"}, "us"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = sandbox_.install() + "/" + c.name;
    std::filesystem::create_directories(folder);
    writeSettings(folder, nginx.hostPort(), c.serverLine);
    const ProcessResult r = update(folder, c.args);
    EXPECT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_TRUE(exists(folder + "/" + c.updated + "/manifest.json"));
    EXPECT_FALSE(exists(folder + "/" + std::string(c.updated == "eu" ? "us" : "eu")));
  }
}

// kvupdate killed while a file streams, again and again; after every kill
// the installation is consistent, and a final run completes it.
TEST_F(Tools, KilledRunsLeaveAConsistentInstallation) {
  constexpr int kFiles = 40;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "files/f%02d.pak", i);
    // 20 MiB in all: checkpoints come after every 10 MiB of completed files.
    std::string content(512 * 1024, static_cast<char>('a' + i % 26));
    writeFile(sandbox_.client(1) + "/" + name, content);
  }
  writeZip(sandbox_.client(1) + "/files/pack.zip", {{"packed.txt", "packed"}});
  sandbox_.publish(1);
  ScriptedServer server;
  std::string error;
  ASSERT_TRUE(server.start(sandbox_.site(), sandbox_.state("scripted"), testCertificates(), error)) << error;
  writeSettings(sandbox_.install(), server.hostPort());
  const std::string eu = sandbox_.serverDir(1);
  std::size_t mostRecorded = 0;  // entries of the fullest checkpoint seen

  for (const int k : {3, 12, 21, 30, 39}) {
    SCOPED_TRACE("killed while fetching file " + std::to_string(k));
    char path[48];
    std::snprintf(path, sizeof path, "/download/eu/files/f%02d.pak", k);
    server.setRules(std::string(R"({")") + path + R"(": {"stallMs": 30000, "announce": true}})");
    ChildProcess child;
    ChildOptions options;
    options.argv = {binary("kvupdate")};
    options.workingDirectory = sandbox_.install();
    ASSERT_TRUE(child.start(options, error)) << error;
    ASSERT_TRUE(server.waitForRequest(path, kToolTimeoutMs));
    child.signalGroup(SIGKILL);
    EXPECT_EQ(child.wait(kToolTimeoutMs), 128 + SIGKILL);

    EXPECT_FALSE(exists(eu + "/manifest.meta"));
    updater::ManifestMap local;
    ASSERT_TRUE(updater::readLocalManifest(eu, local)) << readFile(eu + "/manifest.json");
    mostRecorded = std::max(mostRecorded, local.size());
    for (const auto& [p, entry] : local) {
      if (p == "files/pack.zip") {
        EXPECT_FALSE(exists(eu + "/" + p));
        EXPECT_EQ(readFile(eu + "/files/packed.txt"), "packed");
      } else {
        EXPECT_EQ(static_cast<std::int64_t>(readFile(eu + "/" + p).size()), entry.size) << p;
      }
    }
  }
  // Checkpoints were written along the way, so the kills above tested them.
  EXPECT_GT(mostRecorded, 0u);
  server.setRules("{}");
  const ProcessResult last = update(sandbox_.install());
  EXPECT_EQ(last.exitCode, 0) << last.output;
  expectConverged(sandbox_, sandbox_.install(), 1, headlessBuild(), sandbox_.quickStamp(1));
  EXPECT_EQ(sandbox_.snapshotOutside().size(), 1u);
}

// A server folder the player may not write into (kvupdate run as another
// user; root may write anywhere): every attempt fails with a message, the
// run ends with an error, and a log that cannot be created is no problem.
TEST_F(Tools, UnwritableServerFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run kvupdate as another user";
  makeClient(1, "eu");
  sandbox_.publish(1);
  NginxServer nginx;
  std::string error;
  ASSERT_TRUE(nginx.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
  const std::string folder = sandbox_.install() + "/readonly";
  writeSettings(folder, nginx.hostPort());
  std::filesystem::create_directories(folder + "/eu");
  std::filesystem::copy_file(binary("kvupdate"), folder + "/kvupdate");
  namespace fs = std::filesystem;
  const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec;
  for (const std::string& dir : {fs::path(sandbox_.install()).parent_path().string(), sandbox_.install(), folder,
                                 folder + "/eu", fs::path(testCertificates().caFile).parent_path().string()}) {
    fs::permissions(dir, readable);  // owned by root: others may read and enter, not write
  }

  ChildOptions options;
  options.argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", folder + "/kvupdate"};
  options.workingDirectory = folder;
  const ProcessResult r = runProcess(options, kToolTimeoutMs);
  EXPECT_EQ(r.exitCode, 1) << r.output << r.errors;
  EXPECT_EQ(statusLines(r.output), (std::vector<std::string>{"Checking updates...",
                                                             "Connection failed (a.pak), retrying... (1/3)",
                                                             "Connection failed (a.pak), retrying... (2/3)",
                                                             "Connection failed (a.pak) after 3 attempts"}));
  EXPECT_EQ(r.errors, "Error: Cannot open file for writing: eu/a.pak (Permission denied)\n"
                      "Error: Cannot open file for writing: eu/a.pak (Permission denied)\n"
                      "Error: Cannot open file for writing: eu/a.pak (Permission denied)\n");
  EXPECT_FALSE(exists(folder + "/curl_download.log"));
  EXPECT_TRUE(snapshotTree(folder + "/eu").empty());
}

// kvupdate killed while it unpacks an archive (seen through the files
// appearing in its folder): the archive is not recorded, and the next run
// fetches and unpacks it again.
TEST_F(Tools, KilledWhileUnpackingAnArchive) {
  constexpr int kEntries = 2000;
  std::vector<ZipItem> entries;
  for (int i = 0; i < kEntries; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "e%04d.dat", i);
    entries.emplace_back(name, std::string(8192, static_cast<char>('A' + i % 26)) + name);
  }
  writeFile(sandbox_.client(1) + "/a.pak", "a");
  writeZip(sandbox_.client(1) + "/big/pack.zip", entries);
  sandbox_.publish(1);
  NginxServer nginx;
  std::string error;
  ASSERT_TRUE(nginx.start(sandbox_.site(), sandbox_.state("nginx"), testCertificates(), error)) << error;
  writeSettings(sandbox_.install(), nginx.hostPort());
  const std::string big = sandbox_.serverDir(1) + "/big";
  std::filesystem::create_directories(big);

  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, big.c_str(), IN_CREATE), 0);
  ChildProcess child;
  ChildOptions options;
  options.argv = {binary("kvupdate")};
  options.workingDirectory = sandbox_.install();
  ASSERT_TRUE(child.start(options, error)) << error;
  int created = 0;
  while (created < kEntries / 2) {
    pollfd p{watch, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, kToolTimeoutMs), 0) << "unpacking did not start";
    alignas(inotify_event) char buffer[65536];
    const ssize_t n = ::read(watch, buffer, sizeof buffer);
    for (ssize_t offset = 0; n > 0 && offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      if (event->len > 0 && event->name[0] == 'e') ++created;
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  child.signalGroup(SIGKILL);
  EXPECT_EQ(child.wait(kToolTimeoutMs), 128 + SIGKILL);
  ::close(watch);

  updater::ManifestMap local;
  ASSERT_TRUE(updater::readLocalManifest(sandbox_.serverDir(1), local));
  if (local.count("big/pack.zip") != 0) {
    // Only possible when the kill came after the whole archive was unpacked.
    EXPECT_FALSE(exists(big + "/pack.zip"));
    EXPECT_TRUE(exists(big + "/e1999.dat"));
  }
  const ProcessResult last = update(sandbox_.install());
  EXPECT_EQ(last.exitCode, 0) << last.output;
  expectConverged(sandbox_, sandbox_.install(), 1, headlessBuild(), sandbox_.quickStamp(1));
  for (const ZipItem& entry : entries) EXPECT_EQ(readFile(big + "/" + entry.name), entry.data) << entry.name;
}

}  // namespace
}  // namespace kv::test
