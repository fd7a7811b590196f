#include "updater/manifest.h"
#include "updater/manifest_meta.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/fault_injecting_files.h"
#include "support/temp_dir.h"

namespace kv::updater {
namespace {

using kv::test::readFile;
using kv::test::TempDir;
using kv::test::writeFile;

TEST(RemoteManifest, KeepsOnlyTheChosenBuildArchiveAtTheTop) {
  const std::string text = R"([
    {"path":"vdclient_dx_x64.zip","hash":"d","size":10},
    {"path":"vdclient_gl_x64.zip","hash":"g","size":20},
    {"path":"vdclient_gl_x86.zip","hash":"g86","size":30},
    {"path":"sub/vdclient_dx_x64.zip","hash":"s","size":40},
    {"path":"data/a.pak","hash":"a","size":5,"extra":[1,2]},
    {"path":"b.pak","hash":"b"}
  ])";
  ManifestMap remote;
  ASSERT_TRUE(readRemoteManifest(text, "vdclient_gl_x64", remote));
  std::vector<std::string> paths;
  for (const auto& [path, entry] : remote) paths.push_back(path);
  EXPECT_EQ(paths, (std::vector<std::string>{"b.pak", "data/a.pak", "sub/vdclient_dx_x64.zip",
                                             "vdclient_gl_x64.zip"}));
  EXPECT_EQ(remote.at("vdclient_gl_x64.zip").hash, "g");
  EXPECT_EQ(remote.at("vdclient_gl_x64.zip").size, 20);
  EXPECT_EQ(remote.at("b.pak").size, 0) << "an absent size is 0";
  EXPECT_EQ(remote.at("data/a.pak").path, "data/a.pak");
}

TEST(RemoteManifest, ALaterDuplicateWins) {
  ManifestMap remote;
  ASSERT_TRUE(readRemoteManifest(R"([{"path":"a.pak","hash":"1"},{"path":"a.pak","hash":"2","size":3}])",
                                 "vdclient_gl_x64", remote));
  ASSERT_EQ(remote.size(), 1u);
  EXPECT_EQ(remote.at("a.pak").hash, "2");
  EXPECT_EQ(remote.at("a.pak").size, 3);
}

TEST(RemoteManifest, SizesAtTheEdges) {
  ManifestMap remote;
  ASSERT_TRUE(readRemoteManifest(R"([{"path":"a","hash":"h","size":0},{"path":"b","hash":"h","size":1099511627776}])",
                                 "x", remote));
  EXPECT_EQ(remote.at("b").size, std::int64_t{1} << 40);
}

TEST(RemoteManifest, ReadsAWellFormedIndexAndIgnoresAnyOther) {
  const std::string hash(64, 'a');
  const std::string good = R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"(","size":120})";
  const std::pair<std::string, bool> cases[] = {
      {good, true},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"(","size":67108864,"extra":1})", true},
      {"null", false},
      {"\"kvindex/ab.kvi\"", false},
      {"[]", false},
      {R"({"hash":")" + hash + R"(","size":120})", false},
      {R"({"path":"kvindex/ab.kvi","size":120})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"("})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"(","size":0})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"(","size":-5})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"(","size":67108865})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"(","size":18446744073709551615})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"(","size":1.5})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash + R"(","size":"120"})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + hash.substr(1) + R"(","size":120})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + std::string(64, 'A') + R"(","size":120})", false},
      {R"({"path":"kvindex/ab.kvi","hash":")" + std::string(63, 'a') + R"(g","size":120})", false},
      {R"({"path":"../ab.kvi","hash":")" + hash + R"(","size":120})", false},
      {R"({"path":"kvindex/../../x.kvi","hash":")" + hash + R"(","size":120})", false},
      {R"({"path":"data/ab.kvi","hash":")" + hash + R"(","size":120})", false},
      {R"({"path":"kvindex/ab.kvf","hash":")" + hash + R"(","size":120})", false},
      {R"({"path":5,"hash":")" + hash + R"(","size":120})", false},
  };
  for (const auto& [index, kept] : cases) {
    ManifestMap remote;
    ASSERT_TRUE(readRemoteManifest(R"([{"path":"a.pak","hash":"h","size":9,"index":)" + index + "}]", "x", remote))
        << index;
    ASSERT_EQ(remote.size(), 1u) << index;
    EXPECT_EQ(remote.at("a.pak").index.has_value(), kept) << index;
  }
  ManifestMap remote;
  ASSERT_TRUE(readRemoteManifest(R"([{"path":"a.pak","hash":"h","size":9,"index":)" + good + "}]", "x", remote));
  EXPECT_EQ(remote.at("a.pak").index, (IndexRef{"kvindex/ab.kvi", hash, 120}));
  // The index alone changes nothing to fetch.
  ManifestMap local = remote;
  local.at("a.pak").index.reset();
  EXPECT_TRUE(compareManifests(remote, local).paths.empty());
}

TEST(RemoteManifest, RefusesEveryMalformedDocument) {
  const char* invalid[] = {
      "",
      "<html>404 Not Found</html>",
      "[1,]",
      "/*c*/[]",
      R"([{"path":"a","hash":"h"})",
      R"({"path":"a","hash":"h"})",
      "[1,2]",
      "[null]",
      R"([{"path":5,"hash":"h"}])",
      R"([{"path":"a","hash":null}])",
      R"([{"path":"a"}])",
      R"([{"hash":"h"}])",
      R"([{"path":"a","hash":"h","size":"10"}])",
      R"([{"path":"a","hash":"h","size":-1}])",
      R"([{"path":"a","hash":"h","size":1.5}])",
      R"([{"path":"a","hash":"h","size":1e30}])",
      R"([{"path":"a","hash":"h","size":1099511627777}])",
      R"([{"path":"a","hash":"h","size":18446744073709551615}])",
      R"([{"path":"a","hash":"h","size":null}])",
      R"([{"path":"../x","hash":"h"}])",
      R"([{"path":"ok.pak","hash":"h"},{"path":"/etc/passwd","hash":"h"}])",
      R"([{"path":"manifest.json","hash":"h"}])",
      R"([{"path":"config/config.kvml","hash":"h"}])",
      R"([{"path":"kvindex/0a.kvi","hash":"h"}])",
      R"([{"path":"data/x.dll\u0000.txt","hash":"h"}])",
      "[{\"path\":\"\xff\",\"hash\":\"h\"}]",
  };
  for (const char* text : invalid) {
    ManifestMap remote{{"stale", {"stale", "h", 1}}};
    std::string reason;
    EXPECT_FALSE(readRemoteManifest(text, "vdclient_gl_x64", remote, &reason)) << text;
    EXPECT_TRUE(remote.empty()) << text;
    EXPECT_FALSE(reason.empty()) << text;
  }
}

TEST(LocalManifest, MissingFileIsAFirstInstallation) {
  TempDir dir;
  ManifestMap local{{"x", {"x", "h", 1}}};
  EXPECT_TRUE(readLocalManifest(dir / "eu", local));
  EXPECT_TRUE(local.empty());
}

TEST(LocalManifest, ReadsWhatWasWrittenAndToleratesBomAndCrLf) {
  TempDir dir;
  writeFile(dir / "eu/manifest.json", "\xEF\xBB\xBF[\r\n {\"hash\": \"h\", \"path\": \"a b/c.pak\", \"size\": 7}\r\n]");
  ManifestMap local;
  ASSERT_TRUE(readLocalManifest(dir / "eu", local));
  ASSERT_EQ(local.size(), 1u);
  EXPECT_EQ(local.at("a b/c.pak").size, 7);
}

TEST(LocalManifest, RefusesMalformedFiles) {
  const std::string invalid[] = {
      "[{\"path\":\"a\"",
      std::string("\x00\x01\x02\xff", 4),
      "{}",
      R"([{"path":1,"hash":"h"}])",
      R"([{"path":"a","hash":"h","size":"1"}])",
      "",
  };
  for (const std::string& text : invalid) {
    TempDir dir;
    writeFile(dir / "eu/manifest.json", text);
    ManifestMap local;
    EXPECT_FALSE(readLocalManifest(dir / "eu", local)) << text;
  }
  TempDir dir;
  std::filesystem::create_directories(dir / "eu/manifest.json");
  ManifestMap local;
  EXPECT_FALSE(readLocalManifest(dir / "eu", local)) << "a folder in the manifest's place";
}

TEST(LocalManifest, DiskFailuresAreReportedAndKeepTheRecords) {
  using platform::FileFault;
  using platform::FileOperation;
  TempDir dir;
  const ManifestMap local{{"a", {"a", "h", 1}}};
  ASSERT_TRUE(writeLocalManifest(dir / "eu", local));
  writeFile(dir / "eu/manifest.meta", "Last-Modified: kept\n");
  const std::string document = readFile(dir / "eu/manifest.json");
  kv::test::FaultInjectingFiles faults;
  faults.failFrom(FileOperation::Open, 1, FileFault::IoError);
  ManifestMap read;
  EXPECT_FALSE(readLocalManifest(dir / "eu", read));
  std::string stamp = "before";
  EXPECT_FALSE(readManifestMeta(dir / "eu", stamp));
  EXPECT_EQ(stamp, "before");
  EXPECT_FALSE(quickManifestCheck("[]", dir / "eu/manifest.json"));
  // Neither a folder nor a record can be made on a full disk.
  faults.failFrom(FileOperation::Create, 1, FileFault::DiskFull);
  EXPECT_FALSE(writeLocalManifest(dir / "us/deeper", local));
  EXPECT_FALSE(kv::test::exists(dir / "us"));
  EXPECT_FALSE(writeLocalManifest(dir / "eu", {}));
  EXPECT_FALSE(writeManifestMeta(dir / "eu", "new"));
  EXPECT_EQ(readFile(dir / "eu/manifest.json"), document);
  EXPECT_EQ(readFile(dir / "eu/manifest.meta"), "Last-Modified: kept\n");
}

TEST(CompareManifests, FetchesWhatIsMissingOrDiffersInPathOrder) {
  const ManifestMap remote{
      {"a", {"a", "1", 10}}, {"b", {"b", "2", 20}}, {"c", {"c", "3", 30}}, {"d", {"d", "4", 40}}};
  const ManifestMap local{
      {"a", {"a", "1", 10}},   // up to date
      {"b", {"b", "2", 21}},   // same hash, other size
      {"c", {"c", "x", 30}},   // other hash
      {"z", {"z", "9", 90}}};  // no longer listed: ignored
  const FetchPlan plan = compareManifests(remote, local);
  EXPECT_EQ(plan.paths, (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(plan.totalBytes, 90);
}

TEST(CompareManifests, InterfaceArtComesFirst) {
  const struct {
    std::vector<std::string> paths;
    std::vector<std::string> expected;
  } cases[] = {
      {{"Data/images/x.png", "a.pak", "data/b.pak", "data/fonts/f.ttf", "data/images/a.png", "data/imagesx/q",
        "data/sounds/m.mp3", "data/sounds/sub/c.wav", "z.zip"},
       {"data/fonts/f.ttf", "data/images/a.png", "data/sounds/m.mp3", "data/sounds/sub/c.wav", "Data/images/x.png",
        "a.pak", "data/b.pak", "data/imagesx/q", "z.zip"}},
      {{"a.pak", "b.pak"}, {"a.pak", "b.pak"}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> paths = c.paths;
    putInterfaceArtFirst(paths);
    EXPECT_EQ(paths, c.expected);
  }
}

TEST(CompareManifests, TotalNeverOverflows) {
  constexpr std::int64_t big = std::int64_t{1} << 40;
  ManifestMap remote;
  for (int i = 0; i < 3; ++i) remote.emplace(std::to_string(i), ManifestEntry{std::to_string(i), "h", big});
  EXPECT_EQ(compareManifests(remote, {}).totalBytes, 3 * big);
  ManifestMap huge{{"a", {"a", "h", INT64_MAX}}, {"b", {"b", "h", INT64_MAX}}};
  EXPECT_EQ(compareManifests(huge, {}).totalBytes, INT64_MAX);
}

TEST(WriteLocalManifest, ExactDocumentAndRoundTrip) {
  TempDir dir;
  ASSERT_TRUE(writeLocalManifest(dir / "eu", {}));
  EXPECT_EQ(readFile(dir / "eu/manifest.json"), "[]");

  const ManifestMap local{{"b/\xC3\xA9.pak", {"b/\xC3\xA9.pak", "h2", 2}}, {"a.pak", {"a.pak", "h1", 1}}};
  ASSERT_TRUE(writeLocalManifest(dir / "eu", local));
  EXPECT_EQ(readFile(dir / "eu/manifest.json"),
            "[\n"
            "    {\n"
            "        \"hash\": \"h1\",\n"
            "        \"path\": \"a.pak\",\n"
            "        \"size\": 1\n"
            "    },\n"
            "    {\n"
            "        \"hash\": \"h2\",\n"
            "        \"path\": \"b/\xC3\xA9.pak\",\n"
            "        \"size\": 2\n"
            "    }\n"
            "]");
  ManifestMap back;
  ASSERT_TRUE(readLocalManifest(dir / "eu", back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back.at("b/\xC3\xA9.pak").hash, "h2");

  // An entry's index is kept with it.
  ManifestMap indexed = local;
  const IndexRef index{"kvindex/" + std::string(64, 'c') + ".kvi", std::string(64, 'd'), 4096};
  indexed.at("a.pak").index = index;
  ASSERT_TRUE(writeLocalManifest(dir / "ix", indexed));
  EXPECT_NE(readFile(dir / "ix/manifest.json").find("        \"index\": {\n            \"hash\": \""), std::string::npos);
  ASSERT_TRUE(readLocalManifest(dir / "ix", back));
  EXPECT_EQ(back.at("a.pak").index, index);
  EXPECT_FALSE(back.at("b/\xC3\xA9.pak").index.has_value());
  EXPECT_EQ(kv::test::snapshotTree(dir / "eu").size(), 1u) << "a temporary file was left behind";

  // The unflushed checkpoint form writes the same document.
  const std::string flushed = readFile(dir / "eu/manifest.json");
  ASSERT_TRUE(writeLocalManifest(dir / "eu", {}, FileSync::NoFlush));
  EXPECT_EQ(readFile(dir / "eu/manifest.json"), "[]");
  ASSERT_TRUE(writeLocalManifest(dir / "eu", local, FileSync::NoFlush));
  EXPECT_EQ(readFile(dir / "eu/manifest.json"), flushed);
  EXPECT_EQ(kv::test::snapshotTree(dir / "eu").size(), 1u) << "a temporary file was left behind";
}

TEST(WriteLocalManifest, AFailedWriteKeepsTheOldDocument) {
  TempDir dir;
  writeFile(dir / "eu/manifest.json", "[]");
  const ManifestMap local{{"a", {"a", "h", 1}}};
  // A folder in the place of the file: the rename cannot replace it.
  std::filesystem::remove(dir / "eu/manifest.json");
  std::filesystem::create_directories(dir / "eu/manifest.json/inner");
  EXPECT_FALSE(writeLocalManifest(dir / "eu", local));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "eu/manifest.json/inner"));
  EXPECT_EQ(kv::test::snapshotTree(dir / "eu").size(), 2u) << "a temporary file was left behind";

  // A server "folder" that is a file: nothing can be written.
  writeFile(dir / "us", "file");
  EXPECT_FALSE(writeLocalManifest(dir / "us", local));
  EXPECT_EQ(readFile(dir / "us"), "file");
}

TEST(QuickManifestCheck, ComparesHashesOfEveryRemotePath) {
  struct Case {
    const char* remote;
    const char* reference;  // nullptr: no reference file
    bool upToDate;
  };
  const Case cases[] = {
      {R"([{"path":"a","hash":"1"}])", R"([{"path":"a","hash":"1","size":5},{"path":"b","hash":"2"}])", true},
      {R"([{"path":"a","hash":"1","size":9}])", R"([{"path":"a","hash":"1","size":5}])", true},
      {"[]", "[]", true},
      {R"([{"path":"a","hash":"1"}])", R"([{"path":"a","hash":"2"}])", false},
      {R"([{"path":"a","hash":"1"},{"path":"c","hash":"3"}])", R"([{"path":"a","hash":"1"}])", false},
      {R"([{"path":"a","hash":"1"}])", nullptr, false},
      {R"([{"path":"a","hash":"1"}])", "[{\"path\":\"a\",\"hash\":\"1\"},]", false},
      {"[{\"path\":\"a\",\"hash\":\"1\"},]", R"([{"path":"a","hash":"1"}])", false},
      {R"([{"path":"a","hash":1}])", R"([{"path":"a","hash":1}])", false},
      {R"({"path":"a","hash":"1"})", R"([{"path":"a","hash":"1"}])", false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    if (c.reference != nullptr) writeFile(dir / "data/manifest.json", c.reference);
    EXPECT_EQ(quickManifestCheck(c.remote, dir / "data/manifest.json"), c.upToDate)
        << c.remote << " vs " << (c.reference ? c.reference : "<none>");
  }
}

}  // namespace
}  // namespace kv::updater
