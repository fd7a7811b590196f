#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>

#include "console_dialogs.h"
#include "console_reports.h"
#include "platform/fake/fake_platform.h"
#include "printable_text.h"
#include "support/temp_dir.h"
#include "update_arguments.h"
#include "update_tool.h"

namespace kv::tools {
namespace {

using kv::test::TempDir;
using kv::test::writeFile;

// Collects what a FILE* receives.
class Capture {
 public:
  Capture() : file_(std::tmpfile()) {}
  ~Capture() { std::fclose(file_); }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    std::string out;
    std::rewind(file_);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  std::FILE* file_;
};

platform::Report report(platform::ReportKind kind, std::string text = {}, float progress = 0.0f) {
  return platform::Report{kind, 1, std::move(text), progress};
}

TEST(UpdateArguments, ServerChoiceAndMisuse) {
  const struct {
    std::vector<std::string> args;
    UpdateParse outcome;
    int server;
    std::int64_t limit = -1;  // -1: no --limit-rate
  } cases[] = {
      {{}, UpdateParse::Run, 0},
      {{"--limit-rate", "512", "--server", "us"}, UpdateParse::Run, 2, 512},
      {{"--limit-rate", "0"}, UpdateParse::Run, 0, 0},
      {{"--limit-rate"}, UpdateParse::Misuse, 0},
      {{"--limit-rate", "-5"}, UpdateParse::Misuse, 0},
      {{"--limit-rate", "12k"}, UpdateParse::Misuse, 0},
      {{"--limit-rate", ""}, UpdateParse::Misuse, 0},
      {{"--limit-rate", "99999999999999999999"}, UpdateParse::Misuse, 0},
      {{"--limit-rate", "1", "--limit-rate", "2"}, UpdateParse::Misuse, 0},
      {{"--verify", "--server", "eu"}, UpdateParse::Run, 1},
      {{"--verify", "--verify"}, UpdateParse::Misuse, 0},
      {{"--server", "eu"}, UpdateParse::Run, 1},
      {{"--server", "us"}, UpdateParse::Run, 2},
      {{"--help"}, UpdateParse::Help, 0},
      {{"--server"}, UpdateParse::Misuse, 0},
      {{"--server", "EU"}, UpdateParse::Misuse, 0},
      {{"--server", "1"}, UpdateParse::Misuse, 0},
      {{"--server", "eu", "--server", "us"}, UpdateParse::Misuse, 0},
      {{"eu"}, UpdateParse::Misuse, 0},
      {{"--verbose"}, UpdateParse::Misuse, 0},
  };
  for (const auto& c : cases) {
    UpdateArguments out;
    std::string error;
    EXPECT_EQ(parseUpdateArguments(c.args, out, error), c.outcome) << ::testing::PrintToString(c.args);
    if (c.outcome == UpdateParse::Run) {
      EXPECT_EQ(out.server, c.server);
      EXPECT_EQ(out.limitRateKBps.value_or(-1), c.limit) << ::testing::PrintToString(c.args);
    }
    if (c.outcome == UpdateParse::Misuse) {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(UpdateTool, MisuseExitsWithTwoBeforeTouchingAnything) {
  Capture out, err;
  platform::fake::FakeMachine machine;
  EXPECT_EQ(runUpdateTool({"--server", "asia"}, machine, out.file(), err.file(), false), 2);
  EXPECT_NE(err.text().find("usage: kvupdate"), std::string::npos);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(runUpdateTool({"--help"}, machine, out.file(), err.file(), false), 0);
  EXPECT_NE(out.text().find("usage: kvupdate"), std::string::npos);
}

TEST(UpdateTool, ReadsTheLauncherSettings) {
  const struct {
    std::string content;
    std::string host, ca;
    int server;
    std::int64_t limit = 0;
  } cases[] = {
      {"", updater::defaultSiteHost(), "", 2},
      {"server: 1\nsiteHost: 127.0.0.1:8443\ncaFile: /tmp/ca.pem\ndownloadLimitKBps: 300\n", "127.0.0.1:8443",
       "/tmp/ca.pem", 1, 300},
      {"downloadLimitKBps: -20\n", updater::defaultSiteHost(), "", 2, 0},
      {"server: 7\r\nsiteHost: localhost:9\r\n", "localhost:9", "", 2},
      {"server: -3\n", updater::defaultSiteHost(), "", 2},
      {"server: abc\nsiteHost:\n", updater::defaultSiteHost(), "", 2},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (!c.content.empty()) writeFile(dir / "system.kvml", c.content);
    const ToolSettings settings = readToolSettings(dir.path(), "");
    EXPECT_EQ(settings.site.siteHost, c.host) << c.content;
    EXPECT_EQ(settings.site.caFile, c.ca) << c.content;
    EXPECT_EQ(settings.server, c.server) << c.content;
    EXPECT_EQ(settings.site.downloadLimitKBps, c.limit) << c.content;
  }
}

// --verify compares content only where the manifest's hash is a SHA-256 in
// hex; other hashes say nothing about it.
TEST(UpdateTool, ContentMatchesASha256HashOnly) {
  TempDir dir;
  writeFile(dir / "hello", "hello");
  writeFile(dir / "flipped", "hellp");
  const std::string hello = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";  // sha256("hello")
  std::string upper = hello;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const struct {
    const char* file;
    std::string hash;
    bool matches;
  } cases[] = {
      {"hello", hello, true},
      {"hello", upper, true},
      {"flipped", hello, false},
      {"missing", hello, false},
      {"flipped", "opaque", true},
      {"flipped", hello.substr(1) + "g", true},  // not hex: opaque
  };
  for (const auto& c : cases) {
    EXPECT_EQ(contentMatches(dir / c.file, {c.file, c.hash, 5}), c.matches) << c.file << " " << c.hash;
  }
}

TEST(UpdateTool, HeadlessBuildIsTheDirectXBuildOfTheMachineWidth) {
  EXPECT_EQ(headlessClientBuild(true), "vdclient_dx_x64");
  EXPECT_EQ(headlessClientBuild(false), "vdclient_dx_x86");
}

TEST(ConsoleReports, PlainOutputHasOneLinePerStatusAndNoProgress) {
  Capture out;
  ConsoleReports reports(out.file(), false);
  EXPECT_EQ(reports.end(), RunEnd::None);
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Status, "Checking updates...")));
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Progress, {}, 0.5f)));
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Status, "Downloading: a.pak (50%, 10 KB/s)")));
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Ready)));
  reports.finish();
  EXPECT_EQ(out.text(), "Checking updates...\nDownloading: a.pak (50%, 10 KB/s)\nClient is ready to play\n");
  EXPECT_EQ(reports.end(), RunEnd::Ready);

  Capture failed;
  ConsoleReports errorReports(failed.file(), false);
  EXPECT_TRUE(errorReports.post(report(platform::ReportKind::Error, "Failed to download manifest")));
  EXPECT_EQ(failed.text(), "Failed to download manifest\n");
  EXPECT_EQ(errorReports.end(), RunEnd::Error);
  EXPECT_EQ(errorReports.errorText(), "Failed to download manifest");
}

TEST(ConsoleReports, TerminalRedrawsOneLineWithABar) {
  Capture out;
  ConsoleReports reports(out.file(), true);
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Status, "Checking updates...")));
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Progress, {}, 0.5f)));
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Error, "Connection failed (a.pak) after 3 attempts")));
  reports.finish();
  const std::string bar0 = "\r" + progressBar(0.0f, 30) + " Checking updates...\x1b[K";
  const std::string bar50 = "\r" + progressBar(0.5f, 30) + " Checking updates...\x1b[K";
  EXPECT_EQ(out.text(), bar0 + bar50 + "\nConnection failed (a.pak) after 3 attempts\n");
}

TEST(ConsoleReports, TerminalLineIsCutToTheWidth) {
  EXPECT_EQ(cutToColumns("abcdef", 4), "abcd");
  EXPECT_EQ(cutToColumns("abc", 4), "abc");
  EXPECT_EQ(cutToColumns("\xc3\xa9\xc3\xa9\xc3\xa9", 2), "\xc3\xa9\xc3\xa9");
  EXPECT_EQ(cutToColumns("x", 0), "");

  Capture out;
  ConsoleReports reports(out.file(), true, 50);
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Status, "Downloading: " + std::string(100, 'n'))));
  const std::string expected = "\r" + (progressBar(0.0f, 30) + " Downloading: " + std::string(100, 'n')).substr(0, 49) +
                               "\x1b[K";
  EXPECT_EQ(out.text(), expected);
}

TEST(ConsoleReports, ProgressBarClampsAndFills) {
  EXPECT_EQ(progressBar(0.0f, 10), "[----------]   0%");
  EXPECT_EQ(progressBar(0.25f, 4), "[#---]  25%");
  EXPECT_EQ(progressBar(1.0f, 4), "[####] 100%");
  EXPECT_EQ(progressBar(7.0f, 4), "[####] 100%");
  EXPECT_EQ(progressBar(-1.0f, 4), "[----]   0%");
  EXPECT_EQ(progressBar(std::numeric_limits<float>::quiet_NaN(), 4), "[----]   0%");
}

TEST(PrintableText, ControlCharactersBecomeQuestionMarks) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain text", "plain text"},
      {"bell\x07 esc\x1b[2J del\x7f", "bell? esc?[2J del?"},
      {"csi \xc2\x9b" "31m nel \xc2\x85", "csi ?31m nel ?"},
      {"\xc3\xa9t\xc3\xa9 \xc2\xa0nbsp", "\xc3\xa9t\xc3\xa9 \xc2\xa0nbsp"},
      {"cut \xc2", "cut \xc2"},
  };
  for (const auto& c : cases) EXPECT_EQ(printableText(c.in), c.out) << c.in;

  Capture out;
  ConsoleReports reports(out.file(), false);
  EXPECT_TRUE(reports.post(report(platform::ReportKind::Error, "Failed to extract: a\x1b]0;x\x07.zip")));
  EXPECT_EQ(out.text(), "Failed to extract: a?]0;x?.zip\n");
}

TEST(ConsoleDialogs, BoxesBecomeLinesAndGetTheSafeAnswer) {
  Capture err;
  ConsoleDialogs dialogs(err.file());
  EXPECT_EQ(dialogs.messageBox(platform::MessageOwner::MainWindow, "Download failed.\nHTTP response code: 404",
                               "HTTP Error", platform::MessageButtons::Ok, platform::MessageIcon::Error),
            platform::MessageAnswer::Ok);
  EXPECT_EQ(dialogs.messageBox(platform::MessageOwner::None, "Replace?", "Import", platform::MessageButtons::YesNo,
                               platform::MessageIcon::Question),
            platform::MessageAnswer::No);
  EXPECT_EQ(dialogs.messageBox(platform::MessageOwner::None, "Save?", "Q", platform::MessageButtons::YesNoCancel,
                               platform::MessageIcon::Question),
            platform::MessageAnswer::Cancel);
  EXPECT_EQ(err.text(), "HTTP Error: Download failed. HTTP response code: 404\nImport: Replace?\nQ: Save?\n");
  EXPECT_FALSE(dialogs.chooseOpenFile("Select config zip", "ZIP File", "*.zip").has_value());
  EXPECT_FALSE(dialogs.chooseSaveFile("Export", "a.zip", "ZIP File", "*.zip").has_value());
}

TEST(UpdateTool, SummaryCountsWhatTheRunInstalled) {
  const auto entry = [](const std::string& path, const std::string& hash, std::int64_t size) {
    return std::pair<const std::string, updater::ManifestEntry>{path, {path, hash, size, true}};
  };
  const updater::ManifestMap before = {entry("a.pak", "h1", 10), entry("b.pak", "h2", 20), entry("c.pak", "h3", 30)};
  const struct {
    updater::ManifestMap after;
    std::int64_t fetched;
    double seconds;
    RunEnd end;
    std::string error, line;
    std::set<std::string> repaired = {};
    std::string reason = {};
  } cases[] = {
      {before, 0, 0.12, RunEnd::Ready, "", "Summary: eu: 0 files updated, 0 B fetched of 0 B in 0.1 s, client ready"},
      {before, 40, 2.0, RunEnd::Ready, "", "Summary: eu: 2 files updated, 40 B fetched of 40 B in 2.0 s, client ready",
       {"a.pak", "c.pak"}},
      {{entry("a.pak", "h1", 10), entry("b.pak", "new", 20), entry("c.pak", "h3", 31), entry("d.pak", "h4", 2048)},
       300, 75.0, RunEnd::Ready, "",
       "Summary: eu: 3 files updated, 300 B fetched of 2.0 KB in 1 min 15 s, client ready"},
      {{entry("b.pak", "new", 5)}, 5, 4.0, RunEnd::Error, "Connection failed (a.pak) after 3 attempts",
       "Summary: eu: 1 file updated, 5 B fetched of 5 B in 4.0 s, not ready: Connection failed (a.pak) after 3 attempts"},
      {before, 0, 1.0, RunEnd::Error, "Connection failed (a.pak) after 3 attempts",
       "Summary: eu: 0 files updated, 0 B fetched of 0 B in 1.0 s, not ready: Connection failed (a.pak) after 3 attempts "
       "(eu/a.pak: Cannot open file for writing (Permission denied))",
       {},
       "eu/a.pak: Cannot open file for writing (Permission denied)"},
      {before, 0, 1.0, RunEnd::Error, "The updater is being prepared for download",
       "Summary: eu: 0 files updated, 0 B fetched of 0 B in 1.0 s, not ready: The updater is being prepared for download "
       "(site.test: Could not resolve hostname?)",
       {},
       "site.test: Could not resolve hostname\n"},
      // A reason without an error changes nothing.
      {before, 0, 1.0, RunEnd::Ready, "", "Summary: eu: 0 files updated, 0 B fetched of 0 B in 1.0 s, client ready", {},
       "stale"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runSummary("eu", before, c.after, c.repaired, c.fetched, c.seconds, c.end, c.error, c.reason), c.line);
  }
}

// --verify names every damaged file and whether it was repaired, in path
// order, with control characters made harmless.
TEST(UpdateTool, VerifyLinesNameEachDamagedFile) {
  const struct {
    std::size_t checked;
    std::set<std::string> damaged, repaired;
    std::vector<std::string> lines;
  } cases[] = {
      {1, {}, {}, {"Verify: eu: 1 file checked, 0 damaged, 0 repaired"}},
      {5, {"data/b.pak", "a.pak", "x\x1b.pak"}, {"a.pak", "x\x1b.pak"},
       {"Verify: eu: 5 files checked, 3 damaged, 2 repaired", "  damaged: eu/a.pak, repaired",
        "  damaged: eu/data/b.pak, not repaired", "  damaged: eu/x?.pak, repaired"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(verifyLines("eu", c.checked, c.damaged, c.repaired), c.lines);
  }
}

TEST(ConsoleDialogs, ADownloadFailureBoxSaysTheFileAndTheReason) {
  const struct {
    updater::DownloadFailure failure;
    std::string title, box, line;
  } cases[] = {
      {{.logLine = "Cannot open file for writing: eu/a.pak", .localPath = "eu/a.pak",
        .systemReason = "Permission denied"},
       "Error", "Cannot open file for writing.",
       "Error: Cannot open file for writing: eu/a.pak (Permission denied)\n"},
      {{.logLine = "HTTP status code: 404", .localPath = "eu/data/b.pak"}, "HTTP Error",
       "Download failed.\nHTTP response code: 404", "HTTP Error: eu/data/b.pak: HTTP status code: 404\n"},
  };
  for (const auto& c : cases) {
    Capture err;
    ConsoleDialogs dialogs(err.file());
    dialogs.noteDownloadFailure(c.failure);
    (void)dialogs.messageBox(platform::MessageOwner::MainWindow, c.box, c.title, platform::MessageButtons::Ok,
                             platform::MessageIcon::Error);
    // The note is used once: the next box on this thread has its own text.
    (void)dialogs.messageBox(platform::MessageOwner::None, "Other", "Box", platform::MessageButtons::Ok,
                             platform::MessageIcon::Error);
    EXPECT_EQ(err.text(), c.line + "Box: Other\n");
    EXPECT_EQ(dialogs.lastDownloadFailure() + "\n", c.line.substr(c.title.size() + 2));
  }
}

}  // namespace
}  // namespace kv::tools
