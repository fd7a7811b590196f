#include "publish.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "archive_check.h"
#include "file_hash.h"
#include "quoted_name.h"
#include "support/temp_dir.h"
#include "updater/manifest.h"

namespace kv::tools {
namespace {

using kv::test::exists;
using kv::test::readFile;
using kv::test::snapshotTree;
using kv::test::TempDir;
using kv::test::writeFile;

// Writes a ZIP file whose entries are the given names ("x/" is a folder
// entry) with small contents.
void writeZip(const std::string& path, const std::vector<std::string>& names) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr);
  for (const auto& name : names) {
    if (!name.empty() && name.back() == '/') {
      ASSERT_GE(zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8), 0);
    } else {
      static const char content[] = "entry";
      zip_source_t* source = zip_source_buffer(archive, content, sizeof content - 1, 0);
      ASSERT_GE(zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_GUESS), 0) << name;
    }
  }
  ASSERT_EQ(zip_close(archive), 0);
}

time_t mtimeOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mtim.tv_sec;
}

void setMtime(const std::string& path, time_t seconds) {
  timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(FileHash, Sha256OfKnownTexts) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  TempDir dir;
  const std::string big(3 * 1024 * 1024 + 17, 'q');  // more than one read buffer
  writeFile(dir / "big", big);
  std::string digest, error;
  std::int64_t size = 0;
  ASSERT_TRUE(hashFile(dir / "big", digest, size, error)) << error;
  EXPECT_EQ(digest, sha256Hex(big));
  EXPECT_EQ(size, static_cast<std::int64_t>(big.size()));
  EXPECT_FALSE(hashFile(dir / "missing", digest, size, error));
}

TEST(QuotedName, EscapesWhatATerminalWouldObey) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"data/a.pak", "\"data/a.pak\""},
      {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
      {"bell\x07\x1b[2J\x7f", "\"bell\\x07\\x1B[2J\\x7F\""},
      {"\xc3\xa9t\xc3\xa9/\xe6\x97\xa5", "\"\xc3\xa9t\xc3\xa9/\xe6\x97\xa5\""},
      {"csi\xc2\x9b", "\"csi\\xC2\\x9B\""},
      {"latin1 caf\xe9", "\"latin1 caf\\xE9\""},
      {"overlong \xc0\xaf", "\"overlong \\xC0\\xAF\""},
      {"surrogate \xed\xa0\x80", "\"surrogate \\xED\\xA0\\x80\""},
      {"cut \xe6\x97", "\"cut \\xE6\\x97\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quotedName(c.in), c.out) << c.in;
}

TEST(ArchiveCheck, UnpackedArchives) {
  EXPECT_TRUE(isUnpackedArchive("data/b.zip"));
  EXPECT_FALSE(isUnpackedArchive("oldlibs.zip"));
  EXPECT_TRUE(isUnpackedArchive("sub/oldlibs.zip"));
  EXPECT_FALSE(isUnpackedArchive("data/b.ZIP"));
}

TEST(ArchiveCheck, FindsWhatTheLauncherCannotUnpack) {
  TempDir dir;
  const struct {
    std::string archivePath;
    std::vector<std::string> entries;
    std::vector<std::string> expectedFragments;  // one per problem, in order
  } cases[] = {
      {"data/ok.zip", {"a.txt", "x/b.txt"}, {}},
      {"data/dir.zip", {"sub/", "sub/y.txt", "sub/deeper/"}, {}},
      {"data/deep.zip", {"x/y/z.txt"}, {}},
      {"data/badfolders.zip", {"../up/", "sub./", "manifest.json/"},
       {"\"../up/\" has a name", "\"sub./\" has a name"}},
      {"top.zip", {"config/"}, {"\"config/\" has a name"}},
      {"top.zip", {"manifest.json", "config/config.kvml", "ok.txt"},
       {"\"manifest.json\" has a name", "\"config/config.kvml\" has a name"}},
      {"data/slip.zip", {"../escape.txt", "a\\b.txt", "c\x1b[2J.txt"},
       {"\"../escape.txt\" has a name", "\"a\\\\b.txt\" has a name", "\"c\\x1B[2J.txt\" has a name"}},
  };
  for (const auto& c : cases) {
    const std::string file = dir / ("site/" + c.archivePath);
    writeZip(file, c.entries);
    const auto problems = checkArchive(file, c.archivePath);
    ASSERT_EQ(problems.size(), c.expectedFragments.size()) << c.archivePath << ": " << ::testing::PrintToString(problems);
    for (std::size_t i = 0; i < problems.size(); ++i) {
      EXPECT_NE(problems[i].find(c.expectedFragments[i]), std::string::npos) << problems[i];
    }
  }
  writeFile(dir / "fake.zip", "<html>not a zip</html>");
  const auto problems = checkArchive(dir / "fake.zip", "fake.zip");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("not a readable ZIP archive"), std::string::npos);
}

class PublishTest : public ::testing::Test {
 protected:
  PublishRequest request(const std::string& server = "eu") {
    return {server, "KVLauncher Version 0.29", client_.path(), site_.path()};
  }
  TempDir client_;
  TempDir site_;
};

TEST_F(PublishTest, WritesFilesManifestsAndVersion) {
  writeFile(client_ / "vdclient_gl_x64.exe", "exe bytes");
  writeFile(client_ / "data/sounds/click.ogg", std::string(70000, '\x01'));
  writeFile(client_ / "da ta/x#y.pak", "odd name");
  writeFile(client_ / "empty.txt", "");
  PublishReport report;
  ASSERT_TRUE(publishClient(request(), report)) << ::testing::PrintToString(report.problems);
  EXPECT_TRUE(report.warnings.empty());
  EXPECT_EQ(report.fileCount, 4u);
  EXPECT_EQ(report.filesCopied, 4u);
  EXPECT_TRUE(report.manifestChanged);

  const std::string base = site_ / "download/eu/";
  EXPECT_EQ(readFile(base + "vdclient_gl_x64.exe"), "exe bytes");
  EXPECT_EQ(readFile(base + "data/sounds/click.ogg"), std::string(70000, '\x01'));
  EXPECT_EQ(readFile(base + "da ta/x#y.pak"), "odd name");
  EXPECT_EQ(readFile(base + "empty.txt"), "");
  EXPECT_EQ(readFile(site_ / "download/updater.php"), "KVLauncher Version 0.29");

  const std::string full = readFile(base + "manifest.json");
  EXPECT_EQ(readFile(base + "manifest.php"), full);
  const auto json = nlohmann::json::parse(full);
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 4u);
  EXPECT_EQ(json[0]["path"], "da ta/x#y.pak");
  EXPECT_EQ(json[0]["hash"], sha256Hex("odd name"));
  EXPECT_EQ(json[0]["size"], 8);
  EXPECT_EQ(json[1]["path"], "data/sounds/click.ogg");
  EXPECT_EQ(json[1]["size"], 70000);
  EXPECT_EQ(json[2]["hash"], sha256Hex(""));
  EXPECT_EQ(full.find("{\n        \"hash\""), 6u) << full;  // indent 4, keys hash, path, size

  updater::ManifestMap remote;
  EXPECT_TRUE(updater::readRemoteManifest(full, "vdclient_gl_x64", remote));
  EXPECT_EQ(remote.size(), 4u);
  EXPECT_FALSE(exists(site_ / "download/us"));
}

TEST_F(PublishTest, RefusesUnsafeClientsAndWritesNothing) {
  const struct {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* says = nullptr;  // a part of the problem's text, when checked
  } cases[] = {
      {"own manifest", [](const std::string& c) { writeFile(c + "/manifest.json", "[]"); }},
      {"quick manifest", [](const std::string& c) { writeFile(c + "/manifest.php", "[]"); },
       "\"manifest.php\" would be overwritten by the published manifest"},
      {"quick manifest leftover", [](const std::string& c) { writeFile(c + "/manifest.php.backup", "x"); },
       "\"manifest.php.backup\" would be removed as a leftover when the manifest is written"},
      {"own manifest leftover", [](const std::string& c) { writeFile(c + "/manifest.json.backup", "x"); },
       "\"manifest.json.backup\" is a path the launcher refuses"},
      {"own meta", [](const std::string& c) { writeFile(c + "/manifest.meta", "x"); }},
      {"configuration", [](const std::string& c) { writeFile(c + "/config/config.kvml", "a: b"); }},
      {"backup", [](const std::string& c) { writeFile(c + "/Config_Backup/x", "a"); }},
      {"backslash", [](const std::string& c) { writeFile(c + "/a\\b.pak", "a"); }},
      {"colon", [](const std::string& c) { writeFile(c + "/x.pak:stream", "a"); }},
      {"control", [](const std::string& c) { writeFile(c + "/x\x07.pak", "a"); }},
      {"device name", [](const std::string& c) { writeFile(c + "/data/CON.pak", "a"); }},
      {"trailing dot", [](const std::string& c) { writeFile(c + "/x.pak.", "a"); }},
      {"not utf-8", [](const std::string& c) { writeFile(c + "/caf\xe9.pak", "a"); }},
      {"symlink", [](const std::string& c) {
         writeFile(c + "/real.pak", "a");
         ASSERT_EQ(::symlink("/etc/passwd", (c + "/link.pak").c_str()), 0);
       }},
      {"fifo", [](const std::string& c) { ASSERT_EQ(::mkfifo((c + "/pipe").c_str(), 0600), 0); }},
  };
  for (const auto& c : cases) {
    TempDir client;
    TempDir site;
    writeFile(client / "good.pak", "good");
    c.make(client.path());
    PublishReport report;
    EXPECT_FALSE(publishClient({"eu", "KVLauncher Version 0.29", client.path(), site.path()}, report)) << c.name;
    EXPECT_FALSE(report.problems.empty()) << c.name;
    if (c.says != nullptr) {
      EXPECT_EQ(report.problems, std::vector<std::string>{c.says}) << c.name;
    }
    EXPECT_TRUE(snapshotTree(site.path()).empty()) << c.name;
  }
  PublishReport report;
  EXPECT_FALSE(publishClient({"eu", "v", client_ / "missing", site_.path()}, report));
  // A site inside the client (or the reverse) would publish itself.
  writeFile(client_ / "a.pak", "a");
  EXPECT_FALSE(publishClient({"eu", "v", client_.path(), client_ / "site"}, report));
  EXPECT_FALSE(publishClient({"eu", "v", client_.path(), client_.path() + "/"}, report));
  EXPECT_FALSE(publishClient({"eu", "v", site_ / "client", site_.path()}, report));
  EXPECT_EQ(snapshotTree(client_.path()).size(), 1u);
  // A sibling whose name merely starts like the client's is fine.
  TempDir both;
  writeFile(both / "c/a.pak", "a");
  writeFile(both / "c/data/manifest.php", "a client file one folder down");
  EXPECT_TRUE(publishClient({"eu", "v", both / "c", both / "c-site"}, report))
      << ::testing::PrintToString(report.problems);
  EXPECT_FALSE(publishClient({"asia", "v", client_.path(), site_.path()}, report));
}

TEST_F(PublishTest, WarnsOnlyAboutArchiveEntriesTheLauncherRefuses) {
  writeZip(client_ / "data/pack.zip", {"sub/", "sub/a.txt", "b.txt"});
  writeZip(client_ / "oldlibs.zip", {"../libs/"});  // never unpacked: no warning
  writeFile(client_ / "data/zz/later.pak", "x");
  writeZip(client_ / "data/early.zip", {"zz/a.txt", "new/deep/b.txt"});
  writeZip(client_ / "data/slip.zip", {"ok/", "../../up/"});
  PublishReport report;
  ASSERT_TRUE(publishClient(request(), report));
  ASSERT_EQ(report.warnings.size(), 1u) << ::testing::PrintToString(report.warnings);
  EXPECT_EQ(report.warnings[0].rfind("\"data/slip.zip\": entry \"../../up/\"", 0), 0u) << report.warnings[0];
  EXPECT_TRUE(exists(site_ / "download/eu/data/pack.zip"));
}

TEST_F(PublishTest, WarnsAboutPathsThatDifferOnlyInCase) {
  writeFile(client_ / "Data/x.pak", "upper");
  writeFile(client_ / "data/x.pak", "lower");
  writeFile(client_ / "data/X.PAK", "both");
  writeFile(client_ / "data/y.pak", "alone");
  PublishReport report;
  ASSERT_TRUE(publishClient(request(), report));
  ASSERT_EQ(report.warnings.size(), 1u) << ::testing::PrintToString(report.warnings);
  EXPECT_EQ(report.warnings[0], "\"Data/x.pak\", \"data/X.PAK\", \"data/x.pak\": differ only in case and would "
                                "be one file on a system that ignores case");
  EXPECT_EQ(report.fileCount, 4u);
}

TEST_F(PublishTest, KeepsTheStampWhenUnchangedAndAdvancesItWhenChanged) {
  writeFile(client_ / "a.pak", "one");
  PublishReport report;
  ASSERT_TRUE(publishClient(request(), report));
  const std::string quick = site_ / "download/eu/manifest.php";
  const std::string file = site_ / "download/eu/a.pak";
  const time_t future = std::time(nullptr) + 1000;
  setMtime(quick, future);
  setMtime(file, future);

  ASSERT_TRUE(publishClient(request(), report));
  EXPECT_FALSE(report.manifestChanged);
  EXPECT_EQ(report.filesCopied, 0u);
  EXPECT_EQ(mtimeOf(quick), future);
  EXPECT_EQ(mtimeOf(file), future);

  // A change published within the same second as the old manifest (here: an
  // old stamp in the future) still gets a newer stamp.
  writeFile(client_ / "a.pak", "two");
  ASSERT_TRUE(publishClient(request(), report));
  EXPECT_TRUE(report.manifestChanged);
  EXPECT_EQ(report.filesCopied, 1u);
  EXPECT_EQ(mtimeOf(quick), future + 1);
  EXPECT_EQ(readFile(file), "two");
  EXPECT_NE(readFile(quick).find(sha256Hex("two")), std::string::npos);

  // A new version text alone leaves the manifests alone.
  PublishRequest newer = request();
  newer.versionText = "KVLauncher Version 0.30";
  ASSERT_TRUE(publishClient(newer, report));
  EXPECT_FALSE(report.manifestChanged);
  EXPECT_EQ(readFile(site_ / "download/updater.php"), "KVLauncher Version 0.30");
  EXPECT_EQ(mtimeOf(quick), future + 1);
}

TEST_F(PublishTest, PublishedFilesAreReadableByTheWebServer) {
  writeFile(client_ / "private.pak", "secret build");
  writeFile(client_ / "deep/er/x.pak", "x");
  ASSERT_EQ(::chmod((client_ / "private.pak").c_str(), 0600), 0);
  PublishReport report;
  const mode_t oldMask = ::umask(077);  // an operator's strict umask
  const bool published = publishClient(request(), report);
  ::umask(oldMask);
  ASSERT_TRUE(published);
  struct stat st{};
  ASSERT_EQ(::stat((site_ / "download/eu/private.pak").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  for (const std::string name : {"download/eu/manifest.json", "download/eu/manifest.php", "download/updater.php"}) {
    ASSERT_EQ(::stat((site_ / name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << name;
  }
  for (const std::string name : {"download", "download/eu", "download/eu/deep", "download/eu/deep/er"}) {
    ASSERT_EQ(::stat((site_ / name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u) << name;
  }
}

TEST_F(PublishTest, BothServersShareOneSite) {
  writeFile(client_ / "a.pak", "eu client");
  PublishReport report;
  ASSERT_TRUE(publishClient(request("eu"), report));
  TempDir us;
  writeFile(us / "a.pak", "us client");
  ASSERT_TRUE(publishClient({"us", "KVLauncher Version 0.29", us.path(), site_.path()}, report));
  EXPECT_EQ(readFile(site_ / "download/eu/a.pak"), "eu client");
  EXPECT_EQ(readFile(site_ / "download/us/a.pak"), "us client");
}

}  // namespace
}  // namespace kv::tools
