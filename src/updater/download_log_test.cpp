#include "updater/download_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace kv::updater {
namespace {

using kv::test::readFile;
using kv::test::TempDir;

TEST(DownloadLog, LineFormat) {
  EXPECT_EQ(downloadLogLine("2026-12-07 21:30:00", "HTTP status code: 404"),
            "[2026-12-07 21:30:00] HTTP status code: 404\n");
  TempDir dir;
  writeDownloadLog(dir / "curl_download.log", "first");
  writeDownloadLog(dir / "curl_download.log", "second");
  const std::string text = readFile(dir / "curl_download.log");
  const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] first\n\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] second\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(DownloadLog, AnUnopenableLogIsIgnored) {
  TempDir dir;
  writeDownloadLog(dir / "missing/curl_download.log", "lost");
  EXPECT_FALSE(kv::test::exists(dir / "missing"));
}

TEST(DownloadLog, LinesOfConcurrentWorkersAreNeverCut) {
  TempDir dir;
  const std::string path = dir / "curl_download.log";
  constexpr int kThreads = 4;
  constexpr int kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&path, t] {
      // Long lines (far above any pipe or page size) of one letter each.
      const std::string message(200000 + t, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) writeDownloadLog(path, message);
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream in(readFile(path));
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    const std::size_t close = line.find("] ");
    ASSERT_NE(close, std::string::npos);
    const std::string message = line.substr(close + 2);
    ASSERT_FALSE(message.empty());
    const char letter = message[0];
    ASSERT_EQ(message.size(), 200000u + static_cast<std::size_t>(letter - 'a'));
    ASSERT_EQ(message.find_first_not_of(letter), std::string::npos) << "line " << count << " was cut";
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace kv::updater
