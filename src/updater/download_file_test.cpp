#include "updater/download_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "platform/fake/fake_platform.h"
#include "support/fake_http_transport.h"
#include "support/fault_injecting_files.h"
#include "support/temp_dir.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

using kv::test::FaultInjectingFiles;
using kv::test::readFile;
using kv::test::TempDir;
using kv::test::writeFile;
using platform::MessageIcon;
using platform::MessageOwner;
using testing::FakeAnswer;
using testing::FakeHttpTransport;

constexpr const char* kUrl = "https://site/download/eu/a.pak";

struct Fixture {
  TempDir dir;
  FakeHttpTransport transport;
  platform::fake::FakeDialogs dialogs;
  std::atomic<bool> cancel{false};
  DownloadEnvironment environment;
  std::vector<DownloadFailure> failures;  // as the caller is told them

  Fixture() {
    environment.transport = &transport;
    environment.dialogs = &dialogs;
    environment.logPath = dir / "curl_download.log";
    environment.cancel = &cancel;
    environment.onFailure = [this](const DownloadFailure& failure) { failures.push_back(failure); };
  }
  bool download(const std::string& localPath, std::optional<std::int64_t> size,
                const DownloadProgressFn& progress = {}) {
    return downloadFile(environment, kUrl, localPath, size, progress);
  }
  // The messages of the log, without their time stamps.
  std::vector<std::string> logMessages() const {
    std::vector<std::string> out;
    const std::string text = readFile(dir / "curl_download.log");
    if (text == "<missing>") return out;
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      const std::string line = text.substr(start, end - start);
      out.push_back(line.substr(line.find("] ") + 2));
      start = end + 1;
    }
    return out;
  }
};

TEST(DownloadFile, WritesTheBodyCreatingTheFolders) {
  Fixture f;
  FakeAnswer answer;
  answer.body = "content";
  answer.progressSteps = {3, 7};
  f.transport.script(kUrl, answer);
  std::vector<std::int64_t> seen;
  ASSERT_TRUE(f.download(f.dir / "eu/deep/er/a.pak", 7, [&seen](std::int64_t n) { seen.push_back(n); }));
  EXPECT_EQ(readFile(f.dir / "eu/deep/er/a.pak"), "content");
  EXPECT_EQ(seen, (std::vector<std::int64_t>{3, 7}));
  EXPECT_TRUE(f.dialogs.boxes().empty());
  EXPECT_TRUE(f.logMessages().empty()) << "only failures are logged";
}

// Every body is bounded: a listed size (0 too) caps a status-200 body, an
// error page is cut after kErrorPageLimit bytes; only a file whose size the
// manifest leaves out takes a body of any length.
TEST(DownloadFile, BodiesAreBoundedByTheExpectedSize) {
  struct Case {
    const char* name;
    long status;
    std::size_t bodyBytes;
    std::optional<std::int64_t> size;
    bool ok;
    std::vector<std::string> log;
    std::size_t mostOnDisk;
  };
  const std::size_t page = static_cast<std::size_t>(kErrorPageLimit);
  const Case cases[] = {
      {"size left out", 200, 100000, std::nullopt, true, {}, 100000},
      {"size 0, empty body", 200, 0, 0, true, {}, 0},
      {"size 0, long body", 200, 100000, 0, false, {"curl_easy_perform error: Maximum file size exceeded"}, 1},
      {"size left out, long error page", 500, 4 * page, std::nullopt, false, {"HTTP status code: 500"}, page},
      {"size 0, long error page", 404, 4 * page, 0, false, {"HTTP status code: 404"}, page},
  };
  for (const Case& c : cases) {
    Fixture f;
    FakeAnswer answer;
    answer.status = c.status;
    answer.body = std::string(c.bodyBytes, 'x');
    f.transport.script(kUrl, answer);
    EXPECT_EQ(f.download(f.dir / "a.pak", c.size), c.ok) << c.name;
    EXPECT_EQ(f.logMessages(), c.log) << c.name;
    const std::size_t onDisk = readFile(f.dir / "a.pak").size();
    EXPECT_LE(onDisk, c.mostOnDisk) << c.name;
    if (c.ok) {
      EXPECT_EQ(onDisk, c.bodyBytes) << c.name;
    }
  }
}

TEST(DownloadFile, EveryFailureIsLoggedAndShown) {
  struct Case {
    const char* name;
    FakeAnswer answer;
    std::int64_t size;
    std::string log;
    std::string box;
    std::string title;
  };
  FakeAnswer notFound;
  notFound.status = 404;
  notFound.body = "<html>not here, and longer than the file</html>";
  FakeAnswer serverError;
  serverError.status = 500;
  FakeAnswer tls;
  tls.outcome = TransferOutcome::Failed;
  tls.status = 0;
  tls.errorText = "SSL peer certificate or SSH remote key was not OK";
  FakeAnswer init;
  init.outcome = TransferOutcome::InitFailed;
  FakeAnswer tooLong;
  tooLong.body = std::string(5000, 'x');
  FakeAnswer tooShort;
  tooShort.body = "abc";
  const Case cases[] = {
      {"404", notFound, 4, "HTTP status code: 404", "Download failed.\nHTTP response code: 404", "HTTP Error"},
      {"500", serverError, 4, "HTTP status code: 500", "Download failed.\nHTTP response code: 500", "HTTP Error"},
      {"tls", tls, 4, "curl_easy_perform error: SSL peer certificate or SSH remote key was not OK",
       "SSL peer certificate or SSH remote key was not OK", "CURL Error"},
      {"init", init, 4, "Failed to initialize CURL.", "Failed to initialize CUR.", "Error"},
      {"too long", tooLong, 1000, "curl_easy_perform error: Maximum file size exceeded",
       "Maximum file size exceeded", "CURL Error"},
      {"too short", tooShort, 1000, "curl_easy_perform error: Transferred a partial file",
       "Transferred a partial file", "CURL Error"},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.transport.script(kUrl, c.answer);
    EXPECT_FALSE(f.download(f.dir / "eu/a.pak", c.size)) << c.name;
    EXPECT_EQ(f.logMessages(), std::vector<std::string>{c.log}) << c.name;
    ASSERT_EQ(f.failures.size(), 1u) << c.name;
    EXPECT_EQ(f.failures[0].localPath, f.dir / "eu/a.pak");
    EXPECT_EQ(f.failures[0].logLine, c.log);
    EXPECT_EQ(f.failures[0].systemReason, "");
    const auto boxes = f.dialogs.boxes();
    ASSERT_EQ(boxes.size(), 1u) << c.name;
    EXPECT_EQ(boxes[0].text, c.box) << c.name;
    EXPECT_EQ(boxes[0].title, c.title) << c.name;
    EXPECT_EQ(boxes[0].owner, MessageOwner::MainWindow);
    EXPECT_EQ(boxes[0].icon, MessageIcon::Error);
    EXPECT_EQ(boxes[0].buttons, platform::MessageButtons::Ok);
  }
}

TEST(DownloadFile, AnErrorPageStaysInTheFile) {
  Fixture f;
  FakeAnswer notFound;
  notFound.status = 404;
  notFound.body = "<html>404</html>";
  f.transport.script(kUrl, notFound);
  EXPECT_FALSE(f.download(f.dir / "a.pak", 3));
  EXPECT_EQ(readFile(f.dir / "a.pak"), "<html>404</html>");
}

TEST(DownloadFile, ABodyLongerThanAnnouncedIsCutOff) {
  Fixture f;
  FakeAnswer endless;
  endless.body = std::string(1 << 20, 'x');
  f.transport.script(kUrl, endless);
  EXPECT_FALSE(f.download(f.dir / "a.pak", 1000));
  EXPECT_LE(readFile(f.dir / "a.pak").size(), 1001u);
}

TEST(DownloadFile, AFileThatCannotBeOpenedIsReported) {
  Fixture f;
  std::filesystem::create_directories(f.dir / "eu/a.pak");  // a folder where the file goes
  f.transport.script(kUrl, FakeAnswer{});
  EXPECT_FALSE(f.download(f.dir / "eu/a.pak", 0));
  EXPECT_EQ(f.logMessages(), std::vector<std::string>{"Cannot open file for writing: " + (f.dir / "eu/a.pak")});
  ASSERT_EQ(f.failures.size(), 1u);
  EXPECT_EQ(f.failures[0].logLine, f.logMessages()[0]);
  EXPECT_EQ(f.failures[0].systemReason, "Is a directory");
  ASSERT_EQ(f.dialogs.boxes().size(), 1u);
  EXPECT_EQ(f.dialogs.boxes()[0].text, "Cannot open file for writing.");
  EXPECT_EQ(f.dialogs.boxes()[0].title, "Error");
  EXPECT_TRUE(f.transport.requests.empty()) << "nothing is requested without a file";

  writeFile(f.dir / "us", "a file where a folder should be");
  EXPECT_FALSE(f.download(f.dir / "us/a.pak", 0));
  EXPECT_EQ(readFile(f.dir / "us"), "a file where a folder should be");
}

// A disk that fills up or fails under the writer: the download fails with
// the system's words where the file could not be made, else as a transfer
// whose data could not be written; never as a whole file.
TEST(DownloadFile, DiskFailuresFailTheDownload) {
  struct Case {
    platform::FileOperation operation;
    platform::FileFault fault;
    std::string logLine;
    std::string systemReason;
  };
  const std::string cannotWrite = "curl_easy_perform error: Failed writing received data to disk/application";
  const std::vector<Case> cases = {
      {platform::FileOperation::Create, platform::FileFault::DiskFull, "Cannot open file for writing: ",
       "No space left on device"},
      {platform::FileOperation::Write, platform::FileFault::DiskFull, cannotWrite + " (No space left on device)", ""},
      {platform::FileOperation::Write, platform::FileFault::IoError, cannotWrite + " (Input/output error)", ""},
      {platform::FileOperation::Close, platform::FileFault::IoError, cannotWrite + " (Input/output error)", ""},
  };
  for (const Case& c : cases) {
    Fixture f;
    FaultInjectingFiles faults;
    // Writes and closes name no path: the download's are the only ones.
    faults.failFrom(c.operation, 1, c.fault, c.operation == platform::FileOperation::Create ? "a.pak" : "");
    FakeAnswer big;
    big.body = std::string(200000, 'b');  // more than the writer gathers before it writes
    f.transport.script(kUrl, big);
    const std::string path = f.dir / "a.pak";
    EXPECT_FALSE(f.download(path, 200000)) << c.logLine;
    ASSERT_EQ(f.failures.size(), 1u) << c.logLine;
    const std::string expected = c.logLine.back() == ' ' ? c.logLine + path : c.logLine;
    EXPECT_EQ(f.failures[0].logLine, expected);
    EXPECT_EQ(f.failures[0].systemReason, c.systemReason);
    // The box tells the player the same reason.
    ASSERT_EQ(f.dialogs.boxes().size(), 1u);
    EXPECT_EQ("curl_easy_perform error: " + f.dialogs.boxes()[0].text == expected,
              c.operation != platform::FileOperation::Create);
  }
}

TEST(DownloadFile, ACancelledTransferStopsQuietly) {
  Fixture f;
  FakeAnswer slow;
  slow.body = "never";
  slow.progressSteps = {1, 2, 3};
  f.transport.script(kUrl, slow);
  int calls = 0;
  EXPECT_FALSE(f.download(f.dir / "a.pak", 5, [&](std::int64_t) {
    if (++calls == 2) f.cancel = true;
  }));
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(f.dialogs.boxes().empty());
  EXPECT_TRUE(f.logMessages().empty());
}

TEST(DownloadFile, WithoutDialogsFailuresAreOnlyLogged) {
  Fixture f;
  f.environment.dialogs = nullptr;
  FakeAnswer notFound;
  notFound.status = 404;
  f.transport.script(kUrl, notFound);
  EXPECT_FALSE(f.download(f.dir / "a.pak", 0));
  EXPECT_EQ(f.logMessages(), std::vector<std::string>{"HTTP status code: 404"});
}

}  // namespace
}  // namespace kv::updater
