#include "publish.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/inotify.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>

#include "archive_check.h"
#include "base/launcher_files.h"
#include "file_hash.h"
#include "publish_progress.h"
#include "publish_signing.h"
#include "quoted_name.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/zip_files.h"
#include "updater/archive_guard.h"
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
  std::vector<kv::test::ZipItem> items;
  for (const auto& name : names) items.push_back({name, "entry"});
  kv::test::writeZip(path, items);
}

time_t mtimeOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mtim.tv_sec;
}

// The warnings other than what the release lacks (those have cases of their own).
std::vector<std::string> otherWarnings(const PublishReport& report) {
  std::vector<std::string> out;
  for (const auto& warning : report.warnings) {
    if (warning.rfind("no client build archive ", 0) != 0 && warning.rfind("no \"oldlibs.zip\"", 0) != 0 &&
        warning.rfind("interface art missing: ", 0) != 0) {
      out.push_back(warning);
    }
  }
  return out;
}

void setMtime(const std::string& path, time_t seconds) {
  timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(FileHash, Sha256OfKnownTexts) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  TempDir dir;
  const std::string big(9 * 1024 * 1024 + 17, 'q');  // more than one read buffer
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
  EXPECT_TRUE(updater::isUnpackedArchive("data/b.zip"));
  EXPECT_FALSE(updater::isUnpackedArchive("oldlibs.zip"));
  EXPECT_TRUE(updater::isUnpackedArchive("sub/oldlibs.zip"));
  EXPECT_FALSE(updater::isUnpackedArchive("data/b.ZIP"));
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
       {"\"../up/\" has a name the launcher refuses to unpack: it has a '..' part",
        "\"sub./\" has a name the launcher refuses to unpack: 'sub.' ends in a dot, which Windows drops"}},
      {"top.zip", {"config/"}, {"\"config/\" has a name the launcher refuses to unpack: it names the launcher's own"}},
      {"top.zip", {"manifest.json", "config/config.kvml", "ok.txt"},
       {"\"manifest.json\" has a name", "\"config/config.kvml\" has a name"}},
      {"data/slip.zip", {"../escape.txt", "a\\b.txt", "c\x1b[2J.txt"},
       {"\"../escape.txt\" has a name", "\"a\\\\b.txt\" has a name the launcher refuses to unpack: it holds '\\'",
        "\"c\\x1B[2J.txt\" has a name the launcher refuses to unpack: it holds the control character 0x1B"}},
      // The rules of a listed file: devices, trailing spaces, what Windows cannot name.
      {"data/win.zip", {"sub/b?d.txt", "x/CON.txt", "y /z.txt", "a|b", "fine.txt"},
       {"entry \"sub/b?d.txt\" holds '?', which the Windows program cannot put in a file name",
        "\"x/CON.txt\" has a name the launcher refuses to unpack: 'CON.txt' is the device CON on Windows",
        "\"y /z.txt\" has a name the launcher refuses to unpack: 'y ' ends in a space, which Windows drops",
        "entry \"a|b\" holds '|'"}},
      {"data/temp.zip", {"x.pak.KVPart"},
       {"\"x.pak.KVPart\" has a name the launcher refuses to unpack: a part of it has the form of the launcher's "
        "download temporaries"}},
  };
  for (const auto& c : cases) {
    const std::string file = dir / ("site/" + c.archivePath);
    writeZip(file, c.entries);
    const auto problems = checkArchive(file, c.archivePath).refusedNames;
    ASSERT_EQ(problems.size(), c.expectedFragments.size())
        << c.archivePath << ": " << ::testing::PrintToString(problems);
    for (std::size_t i = 0; i < problems.size(); ++i) {
      EXPECT_NE(problems[i].find(c.expectedFragments[i]), std::string::npos) << problems[i];
    }
  }
  writeFile(dir / "fake.zip", "<html>not a zip</html>");
  const ArchiveFindings fake = checkArchive(dir / "fake.zip", "fake.zip");
  EXPECT_TRUE(fake.refusedNames.empty());
  EXPECT_NE(fake.unreadable.find("not a readable ZIP archive"), std::string::npos) << fake.unreadable;
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
  EXPECT_TRUE(otherWarnings(report).empty());
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
      {"own manifest", [](const std::string& c) { writeFile(c + "/manifest.json", "[]"); },
       "\"manifest.json\" is a path the launcher refuses: it names the launcher's own files in the server folder"},
      {"quick manifest", [](const std::string& c) { writeFile(c + "/manifest.php", "[]"); },
       "\"manifest.php\" would be overwritten by the published manifest"},
      {"quick manifest leftover", [](const std::string& c) { writeFile(c + "/manifest.php.backup", "x"); },
       "\"manifest.php.backup\" would be removed as a leftover when the manifest is written"},
      {"own manifest leftover", [](const std::string& c) { writeFile(c + "/manifest.json.backup", "x"); },
       "\"manifest.json.backup\" is a path the launcher refuses: it names the launcher's own files in the server "
       "folder"},
      {"signature", [](const std::string& c) { writeFile(c + "/manifest.json.minisig", "x"); },
       "\"manifest.json.minisig\" would be overwritten by the published signature"},
      {"quick signature", [](const std::string& c) { writeFile(c + "/manifest.php.minisig", "x"); },
       "\"manifest.php.minisig\" would be overwritten by the published signature"},
      {"own meta", [](const std::string& c) { writeFile(c + "/manifest.meta", "x"); }},
      {"download temporary", [](const std::string& c) { writeFile(c + "/data/a.pak.KVPart", "x"); },
       "\"data/a.pak.KVPart\" is a path the launcher refuses: a part of it has the form of the launcher's download "
       "temporaries"},
      {"configuration", [](const std::string& c) { writeFile(c + "/config/config.kvml", "a: b"); },
       "\"config/config.kvml\" is a path the launcher refuses: it names the launcher's own files in the server "
       "folder"},
      {"chunk indexes", [](const std::string& c) { writeFile(c + "/kvindex/a.kvi", "a"); },
       "\"kvindex/a.kvi\" is a path the launcher refuses: it names the launcher's own files in the server folder"},
      {"backup", [](const std::string& c) { writeFile(c + "/Config_Backup/x", "a"); },
       "\"Config_Backup/x\" is a path the launcher refuses: it names the launcher's own files in the server folder"},
      {"backslash", [](const std::string& c) { writeFile(c + "/a\\b.pak", "a"); },
       "\"a\\\\b.pak\" is a path the launcher refuses: it holds '\\'"},
      {"colon", [](const std::string& c) { writeFile(c + "/x.pak:stream", "a"); },
       "\"x.pak:stream\" is a path the launcher refuses: it holds ':'"},
      {"control", [](const std::string& c) { writeFile(c + "/x\x07.pak", "a"); },
       "\"x\\x07.pak\" is a path the launcher refuses: it holds the control character 0x07"},
      {"device name", [](const std::string& c) { writeFile(c + "/data/CON.pak", "a"); },
       "\"data/CON.pak\" is a path the launcher refuses: 'CON.pak' is the device CON on Windows"},
      {"numbered device", [](const std::string& c) { writeFile(c + "/lpt3", "a"); },
       "\"lpt3\" is a path the launcher refuses: 'lpt3' is the device LPT3 on Windows"},
      {"trailing dot", [](const std::string& c) { writeFile(c + "/trail.", "a"); },
       "\"trail.\" is a path the launcher refuses: 'trail.' ends in a dot, which Windows drops"},
      {"trailing space", [](const std::string& c) { writeFile(c + "/data /x.pak", "a"); },
       "\"data /x.pak\" is a path the launcher refuses: 'data ' ends in a space, which Windows drops"},
      {"not utf-8", [](const std::string& c) { writeFile(c + "/caf\xe9.pak", "a"); }},
      {"archive entry",
       [](const std::string& c) {
         writeZip(c + "/data/p.zip", {"sub/", "sub/b?d.txt"});
       },
       "\"data/p.zip\": entry \"sub/b?d.txt\" holds '?', which the Windows program cannot put in a file name"},
      {"question mark", [](const std::string& c) { writeFile(c + "/what?.pak", "a"); },
       "\"what?.pak\" holds '?', which the Windows program cannot put in a file name"},
      {"pipe", [](const std::string& c) { writeFile(c + "/a|b.pak", "a"); }},
      {"double quote", [](const std::string& c) { writeFile(c + "/say\"hi\".pak", "a"); },
       "\"say\\\"hi\\\".pak\" holds '\"', which the Windows program cannot put in a file name"},
      {"symlink",
       [](const std::string& c) {
         writeFile(c + "/real.pak", "a");
         ASSERT_EQ(::symlink("/etc/passwd", (c + "/link.pak").c_str()), 0);
       }},
      {"fifo", [](const std::string& c) { ASSERT_EQ(::mkfifo((c + "/pipe").c_str(), 0600), 0); }},
      // One owner per installed path: an archive entry on a listed path,
      // below a listed file, or a file where a listed path needs a folder.
      {"archive entry also listed",
       [](const std::string& c) {
         writeFile(c + "/bin/x.dat", "listed");
         writeZip(c + "/bin/pack.zip", {"x.dat"});
       },
       "\"bin/pack.zip\": entry \"x.dat\" lands on \"bin/x.dat\", which is also listed on its own: every "
       "installed path must come from one place"},
      {"archive file where a listed folder is",
       [](const std::string& c) {
         writeFile(c + "/small/y.txt", "listed");
         writeZip(c + "/pack.zip", {"small"});
       },
       "\"pack.zip\": entry \"small\" lands on \"small\", which collides with the listed \"small/y.txt\": "
       "every installed path must come from one place"},
      {"archive entry below a listed file",
       [](const std::string& c) {
         writeFile(c + "/keep.txt", "listed");
         writeZip(c + "/pack.zip", {"keep.txt/inner"});
       },
       "\"pack.zip\": entry \"keep.txt/inner\" lands on \"keep.txt/inner\", which collides with the listed "
       "\"keep.txt\": every installed path must come from one place"},
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
    EXPECT_EQ(failureLine(report), "nothing was published") << c.name;
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

TEST_F(PublishTest, RefusesArchiveEntriesTheLauncherRefuses) {
  writeZip(client_ / "data/pack.zip", {"sub/", "sub/a.txt", "b.txt"});
  writeZip(client_ / "oldlibs.zip", {"../libs/"});  // never unpacked: no concern
  writeFile(client_ / "data/zz/later.pak", "x");
  writeZip(client_ / "data/early.zip", {"zz/a.txt", "new/deep/b.txt"});
  writeZip(client_ / "data/slip.zip", {"ok/", "../../up/"});
  writeFile(client_ / "data/broken.zip", "not a zip");  // only a warning
  PublishReport report;
  ASSERT_FALSE(publishClient(request(), report));
  EXPECT_EQ(report.problems, std::vector<std::string>{"\"data/slip.zip\": entry \"../../up/\" has a name the "
                                                      "launcher refuses to unpack: it has a '..' part"});
  EXPECT_TRUE(snapshotTree(site_.path()).empty());
  std::filesystem::remove(client_ / "data/slip.zip");
  ASSERT_TRUE(publishClient(request(), report)) << ::testing::PrintToString(report.problems);
  const auto warnings = otherWarnings(report);
  ASSERT_EQ(warnings.size(), 1u) << ::testing::PrintToString(warnings);
  EXPECT_EQ(warnings[0].rfind("\"data/broken.zip\": not a readable ZIP archive", 0), 0u) << warnings[0];
  EXPECT_TRUE(exists(site_ / "download/eu/data/pack.zip"));
}

// A publication that fails after it wrote to the site says so instead of
// claiming that nothing was published.
TEST_F(PublishTest, AFailureAfterWritingSaysItStoppedPartWay) {
  writeFile(client_ / "a.pak", "a");
  std::filesystem::create_directories(site_ / "download/updater.php/x");  // the version text cannot go there
  PublishReport report;
  EXPECT_FALSE(publishClient(request(), report));
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_NE(report.problems[0].find("cannot write"), std::string::npos) << report.problems[0];
  EXPECT_TRUE(report.siteWritten);
  EXPECT_EQ(failureLine(report).rfind("the publication stopped part way", 0), 0u) << failureLine(report);
  EXPECT_EQ(readFile(site_ / "download/eu/a.pak"), "a");
}

TEST_F(PublishTest, WarnsAboutPathsThatDifferOnlyInCase) {
  writeFile(client_ / "Data/x.pak", "upper");
  writeFile(client_ / "data/x.pak", "lower");
  writeFile(client_ / "data/X.PAK", "both");
  writeFile(client_ / "data/y.pak", "alone");
  PublishReport report;
  ASSERT_TRUE(publishClient(request(), report));
  ASSERT_EQ(otherWarnings(report).size(), 1u) << ::testing::PrintToString(report.warnings);
  EXPECT_EQ(otherWarnings(report)[0], "\"Data/x.pak\", \"data/X.PAK\", \"data/x.pak\": differ only in case and would "
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

TEST(ReleaseChecks, WarnAboutWhatPlayersNeedAndStrictRefuses) {
  const std::vector<std::string> complete = {
      "vdclient_dx_x64.zip", "vdclient_gl_x64.zip", "vdclient_dx_x86.zip", "vdclient_gl_x86.zip", "oldlibs.zip",
      kBackgroundPath + 1, kFontPath + 1, kCloseImagePath + 1, kMinimizeImagePath + 1,
      kOptionsImagePath + 1, kOptionsOnImagePath + 1, kSoundImagePath + 1, kSoundOffImagePath + 1,
      kBigButtonImagePath + 1, kButtonImagePath + 1, kSignUpIconPath + 1, kWebsiteIconPath + 1,
      kMusicPath + 1, kClickPath + 1};
  const struct {
    std::set<std::string> gone;  // left out of the complete release; "*": all of it
    std::vector<std::string> warnings;
  } cases[] = {
      {{}, {}},
      {{"*"}, {"the release has no files at all"}},
      {{"vdclient_dx_x64.zip", "vdclient_gl_x86.zip"},
       {"no client build archive \"vdclient_dx_x64.zip\", \"vdclient_gl_x86.zip\": players of that build cannot "
        "play"}},
      {{"oldlibs.zip"}, {"no \"oldlibs.zip\": players whose graphics libraries fail have no fallback"}},
      {{"data/fonts/RavidIzuz.ttf", "data/sounds/click.wav"},
       {"interface art missing: \"data/fonts/RavidIzuz.ttf\", \"data/sounds/click.wav\""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.gone));
    TempDir client;
    std::filesystem::create_directories(client.path());
    for (const auto& path : complete) {
      if (c.gone.count(path) != 0 || c.gone.count("*") != 0) continue;
      if (path.ends_with(".zip")) {
        writeZip(client / path, {"entry.txt"});
      } else {
        writeFile(client / path, path);
      }
    }
    for (const bool strict : {false, true}) {
      TempDir site;
      PublishRequest request{"eu", "v", client.path(), site.path()};
      request.strict = strict;
      PublishReport report;
      const bool refused = strict && !c.warnings.empty();
      EXPECT_EQ(publishClient(request, report), !refused) << ::testing::PrintToString(report.problems);
      std::vector<std::string> expected = c.warnings;
      if (refused) {
        for (auto& warning : expected) warning = kStrictMark + warning;
      }
      EXPECT_EQ(refused ? report.problems : report.warnings, expected);
      EXPECT_EQ(snapshotTree(site.path()).empty(), refused);
    }
  }
}

// A fake that adds up what each step is told.
class RecordedProgress : public PublishProgress {
 public:
  struct Step {
    std::size_t files = 0, filesDone = 0;
    std::int64_t bytes = 0, bytesDone = 0;
  };
  void beginStep(const std::string&, std::size_t files, std::int64_t bytes) override {
    steps.push_back({files, 0, bytes, 0});
  }
  void advance(std::size_t files, std::int64_t bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);  // guards steps while hashing threads run
    steps.back().filesDone += files;
    steps.back().bytesDone += bytes;
  }
  void endStep() override {}
  std::vector<Step> steps;

 private:
  std::mutex mutex_;
};

// The files renamed into place (or removed) in folder while publish runs.
std::vector<std::string> watchedEvents(const std::string& folder, const std::function<void()>& publish) {
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  std::filesystem::create_directories(folder);
  EXPECT_GE(::inotify_add_watch(watch, folder.c_str(), IN_MOVED_TO | IN_DELETE), 0);
  publish();
  std::vector<std::string> events;  // "+name" renamed into place, "-name" removed, in order
  alignas(inotify_event) char buffer[8192];
  for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      if (event->len > 0) events.push_back(((event->mask & IN_DELETE) ? "-" : "+") + std::string(event->name));
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  return events;
}

// One site published again and again: what each publication says changed,
// and that pruning removes files only after the new manifest is in place.
TEST_F(PublishTest, SummarisesTheChangesAndPrunesAfterTheManifests) {
  const struct {
    const char* name;
    std::map<std::string, std::string> files;
    std::string version;
    bool prune, dryRun;
    std::vector<std::string> added, changed, removed, pruned;
    bool versionChanged;
    std::size_t copied;
  } steps[] = {
      {"first", {{"a.pak", "a"}, {"b.pak", "b"}, {"d/c.pak", "c"}}, "v1", false, false,
       {"a.pak", "b.pak", "d/c.pak"}, {}, {}, {}, true, 3},
      {"version text only", {{"a.pak", "a"}, {"b.pak", "b"}, {"d/c.pak", "c"}}, "v2", false, false,
       {}, {}, {}, {}, true, 0},
      {"change, add, remove", {{"a.pak", "A"}, {"b.pak", "b"}, {"e.pak", "e"}}, "v2", false, false,
       {"e.pak"}, {"a.pak"}, {"d/c.pak"}, {}, false, 2},
      {"prune on a dry run", {{"a.pak", "A"}, {"e.pak", "e"}}, "v2", true, true,
       {}, {}, {"b.pak"}, {"b.pak", "d/c.pak"}, false, 0},
      {"prune", {{"a.pak", "A"}, {"e.pak", "e"}}, "v2", true, false, {}, {}, {"b.pak"}, {"b.pak", "d/c.pak"}, false, 0},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    std::filesystem::remove_all(client_.path());
    for (const auto& [path, content] : step.files) writeFile(client_ / path, content);
    PublishRequest publish = request();
    publish.versionText = step.version;
    publish.prune = step.prune;
    publish.dryRun = step.dryRun;
    RecordedProgress progress;
    publish.progress = &progress;
    const auto before = snapshotTree(site_ / "download");

    PublishReport report;
    const std::vector<std::string> events = watchedEvents(site_ / "download/eu", [&] {
      ASSERT_TRUE(publishClient(publish, report)) << ::testing::PrintToString(report.problems);
    });

    EXPECT_EQ(report.added, step.added);
    EXPECT_EQ(report.changed, step.changed);
    EXPECT_EQ(report.removed, step.removed);
    EXPECT_EQ(report.pruned, step.pruned);
    EXPECT_EQ(report.versionChanged, step.versionChanged);
    EXPECT_EQ(report.filesCopied, step.copied);
    ASSERT_EQ(progress.steps.size(), 2u);  // hashing, then comparing and copying: each runs to its total
    for (const auto& s : progress.steps) {
      EXPECT_EQ(s.filesDone, step.files.size());
      EXPECT_EQ(s.bytesDone, s.bytes);
    }
    if (step.dryRun) {
      EXPECT_EQ(snapshotTree(site_ / "download"), before);
      EXPECT_TRUE(events.empty()) << ::testing::PrintToString(events);
      continue;
    }
    const auto removal = std::find(events.begin(), events.end(), "-b.pak");
    EXPECT_EQ(removal != events.end(), step.prune) << ::testing::PrintToString(events);
    if (step.prune) {
      EXPECT_LT(std::find(events.begin(), events.end(), "+manifest.php"), removal);
      EXPECT_FALSE(exists(site_ / "download/eu/d"));  // emptied folders go too
    }
  }
  PublishReport report;
  PublishRequest last = request();
  last.versionText = "v3";
  writeFile(client_ / "a.pak", "A2");
  ASSERT_TRUE(publishClient(last, report));
  EXPECT_EQ(summaryLines(last, report, true),
            (std::vector<std::string>{"eu: 2 files (3 B), 1 copied (2 B), manifest updated",
                                      "since the previous manifest: 0 added, 1 changed, 0 removed",
                                      "version text set to \"v3\"", "  changed \"a.pak\""}));
}

ino_t inodeOf(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Files from kIndexedFileSize up get an index named by their content, with
// the files and before the manifests; an index already there stays as it is;
// prune keeps the named ones only. The indexes are those of the bytes however
// the chunking is shared out: a file far larger than the chunks waiting for
// helper threads may hold, and two large files indexed at once.
TEST_F(PublishTest, IndexesLargeFilesAndPruneKeepsTheNamedOnes) {
  const std::string big = kv::test::noiseBytes(kIndexedFileSize, 1);
  writeFile(client_ / "big.pak", big);
  writeFile(client_ / "small.pak", kv::test::noiseBytes(kIndexedFileSize - 1, 2));
  const std::string huge = kv::test::noiseBytes(3 * delta::IndexWriter::kQueuedBytes + 12345, 3);
  writeFile(client_ / "huge.pak", huge);
  PublishRequest publish = request();
  publish.prune = true;
  publish.threads = 2;
  PublishReport report;
  ASSERT_TRUE(publishClient(publish, report)) << ::testing::PrintToString(report.problems);
  EXPECT_EQ(report.indexesWritten, 2u);
  const std::string base = site_ / "download/eu/";
  updater::ManifestMap manifest;
  ASSERT_TRUE(updater::readRemoteManifest(readFile(base + "manifest.json"), "vdclient_gl_x64", manifest));
  EXPECT_FALSE(manifest.at("small.pak").index);
  for (const auto& [name, bytes] : {std::pair<std::string, const std::string*>{"big.pak", &big}, {"huge.pak", &huge}}) {
    ASSERT_TRUE(manifest.at(name).index) << name;
    const updater::IndexRef ref = *manifest.at(name).index;
    EXPECT_EQ(ref.path, "kvindex/" + sha256Hex(*bytes) + ".kvi");
    const std::string head = readFile(base + ref.path);
    EXPECT_EQ(ref.hash, sha256Hex(head));
    EXPECT_EQ(ref.size, static_cast<std::int64_t>(head.size()));
    const delta::IndexFiles expected =
        delta::buildIndex(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
    EXPECT_EQ(head, expected.head) << name;
    EXPECT_EQ(readFile(base + delta::fineFilePath(ref.path)), expected.fine) << name;
    EXPECT_LE(head.size() + expected.fine.size(), bytes->size() / 100) << "the index files take at most 1 % of the file";
  }
  const updater::IndexRef ref = *manifest.at("big.pak").index;

  // Unchanged: the index is left in place. Another version: a new index,
  // the old one pruned after the manifests.
  const ino_t headInode = inodeOf(base + ref.path);
  ASSERT_TRUE(publishClient(publish, report)) << ::testing::PrintToString(report.problems);
  EXPECT_EQ(report.indexesWritten, 0u);
  EXPECT_EQ(inodeOf(base + ref.path), headInode);
  EXPECT_TRUE(report.pruned.empty()) << ::testing::PrintToString(report.pruned);
  writeFile(client_ / "big.pak", "x" + big);
  ASSERT_TRUE(publishClient(publish, report)) << ::testing::PrintToString(report.problems);
  EXPECT_EQ(report.indexesWritten, 1u);
  EXPECT_EQ(report.pruned, (std::vector<std::string>{delta::fineFilePath(ref.path), ref.path}));
  EXPECT_FALSE(exists(base + ref.path));
  ASSERT_TRUE(updater::readRemoteManifest(readFile(base + "manifest.json"), "vdclient_gl_x64", manifest));
  ASSERT_TRUE(manifest.at("big.pak").index);
  EXPECT_TRUE(exists(base + manifest.at("big.pak").index->path));

  // A truncated index left on the site (a stopped copy) is written again.
  writeFile(base + manifest.at("big.pak").index->path, "KVCHIDX1");
  writeFile(client_ / "small.pak", "changed");
  ASSERT_TRUE(publishClient(publish, report)) << ::testing::PrintToString(report.problems);
  EXPECT_EQ(report.indexesWritten, 1u);
  EXPECT_EQ(static_cast<std::int64_t>(readFile(base + manifest.at("big.pak").index->path).size()),
            manifest.at("big.pak").index->size);

  // Without indexes the manifest names none, and prune takes them away.
  publish.indexes = false;
  ASSERT_TRUE(publishClient(publish, report)) << ::testing::PrintToString(report.problems);
  ASSERT_TRUE(updater::readRemoteManifest(readFile(base + "manifest.json"), "vdclient_gl_x64", manifest));
  EXPECT_FALSE(manifest.at("big.pak").index);
  EXPECT_EQ(report.pruned.size(), 4u);
  EXPECT_FALSE(exists(base + "kvindex"));
}

TEST_F(PublishTest, SignedReleasesAreNumberedRenewedAndNeverRolledBack) {
  const signing::SecretKey key = signing::generateSecretKey();
  const signing::SecretKey other = signing::generateSecretKey();
  const std::int64_t now = 1799348400;  // 2027-01-07T19:00:00Z
  const std::string eu = site_ / "download/eu/";
  const std::vector<std::string> signaturesThenManifests = {"+manifest.json.minisig", "+manifest.php.minisig",
                                                            "+manifest.json", "+manifest.php"};
  const std::vector<std::string> signaturesOnly = {"+manifest.json.minisig", "+manifest.php.minisig"};
  const auto plus = [](std::string first, std::vector<std::string> rest) {
    rest.insert(rest.begin(), std::move(first));
    return rest;
  };
  const auto siteSignature = [&](const std::string& claim) {
    return [&, claim] { writeFile(eu + "manifest.json.minisig", signing::signMessage(key, "x", claim, "")); };
  };
  const struct {
    const char* name;
    std::string client;  // a.pak's content
    const signing::SecretKey* key;
    std::uint64_t release;
    int days;
    bool resign, prune;
    std::function<void()> before;
    const char* refusal;  // nullptr: published
    std::uint64_t signedRelease;
    std::vector<std::string> events;
  } steps[] = {
      {"first signed release", "1", &key, 0, 30, false, false, {}, nullptr, 1, plus("+a.pak", signaturesThenManifests)},
      {"the next", "2", &key, 0, 30, false, false, {}, nullptr, 2, plus("+a.pak", signaturesThenManifests)},
      {"a number given", "3", &key, 7, 30, false, false, {}, nullptr, 7, plus("+a.pak", signaturesThenManifests)},
      {"a number below the site's", "4", &key, 5, 30, false, false, {}, "is not above the site's release 7", 0, {}},
      {"the same number again", "4", &key, 7, 30, false, false, {}, "is not above the site's release 7", 0, {}},
      {"renewed", "ignored", &key, 0, 10, true, false, {}, nullptr, 7, signaturesOnly},
      {"renewed with another key", "", &other, 0, 10, true, false, {}, "not by key", 0, {}},
      {"unchanged files signed again", "3", &key, 0, 30, false, false, {}, nullptr, 8, signaturesOnly},
      {"renewing a manifest changed behind the publisher's back",
       "",
       &key,
       0,
       30,
       true,
       false,
       [&] { writeFile(eu + "manifest.php", "[]"); },
       "not what its signature signs",
       0,
       {}},
      {"unsigned over a signed site",
       "9",
       nullptr,
       0,
       30,
       false,
       false,
       {},
       nullptr,
       0,
       {"+a.pak", "+manifest.json", "+manifest.php"}},
      {"pruning keeps the signatures",
       "10",
       &key,
       0,
       30,
       false,
       true,
       [&] { writeFile(eu + "old.pak", "o"); },
       nullptr,
       9,
       {"+a.pak", "+manifest.json.minisig", "+manifest.php.minisig", "+manifest.json", "+manifest.php", "-old.pak"}},
      {"the site's signature names another server",
       "11",
       &key,
       0,
       30,
       false,
       false,
       siteSignature("kvrelease server=us release=3 expires=2027-01-07T19:00:00Z"),
       "is for server \"us\"",
       0,
       {}},
      {"the site's signature cannot be read",
       "11",
       &key,
       0,
       30,
       false,
       false,
       siteSignature("not a claim"),
       "give the release number with --release",
       0,
       {}},
      {"... unless the number is given",
       "11",
       &key,
       20,
       30,
       false,
       false,
       {},
       nullptr,
       20,
       plus("+a.pak", signaturesThenManifests)},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.before) step.before();
    writeFile(client_ / "a.pak", step.client);
    PublishRequest publish = request();
    publish.signingKey = step.key;
    publish.release = step.release;
    publish.expiresDays = step.days;
    publish.resign = step.resign;
    publish.prune = step.prune;
    publish.now = now;
    if (step.resign) publish.clientDir.clear();
    const auto before = snapshotTree(site_.path());
    PublishReport report;
    bool ok = false;
    const auto events = watchedEvents(eu, [&] { ok = publishClient(publish, report); });
    if (step.refusal) {
      EXPECT_FALSE(ok);
      ASSERT_EQ(report.problems.size(), 1u) << ::testing::PrintToString(report.problems);
      EXPECT_NE(report.problems[0].find(step.refusal), std::string::npos) << report.problems[0];
      EXPECT_EQ(snapshotTree(site_.path()), before);
      continue;
    }
    ASSERT_TRUE(ok) << ::testing::PrintToString(report.problems);
    EXPECT_EQ(events, step.events);
    if (!step.key) {
      EXPECT_NE(::testing::PrintToString(report.warnings).find("were signed and this publication is not"),
                std::string::npos);
      continue;
    }
    const signing::ReleaseClaim claim{"eu", step.signedRelease, now + step.days * 86400};
    EXPECT_EQ(report.claim, claim);
    for (const std::string manifest : {"manifest.json", "manifest.php"}) {
      auto sig = signing::parseSignatureFile(readFile(eu + manifest + ".minisig"));
      ASSERT_TRUE(sig) << manifest;
      EXPECT_EQ(signing::verifySignature(readFile(eu + manifest), *sig, {signing::publicKeyOf(key)}),
                signing::Verdict::Valid);
      EXPECT_EQ(signing::parseReleaseClaim(sig->trustedComment), claim);
    }
    const auto summary = summaryLines(publish, report, false);
    EXPECT_NE(std::find_if(summary.begin(), summary.end(),
                           [&](const std::string& line) { return line.starts_with(signedLine(claim, false)); }),
              summary.end())
        << ::testing::PrintToString(summary);
  }

  // The minisign program verifies what was signed.
  const std::string pub = signing::publicKeyLine(signing::publicKeyOf(key));
  for (const std::string manifest : {"manifest.json", "manifest.php"}) {
    kv::test::ChildOptions options;
    options.argv = {"minisign", "-V", "-P", pub, "-m", eu + manifest};
    options.captureOutput = options.captureErrors = true;
    const auto result = kv::test::runProcess(options, 60000);
    EXPECT_EQ(result.exitCode, 0) << manifest << ": " << result.output << result.errors;
    EXPECT_NE(result.output.find("kvrelease server=eu release=20 expires=2027-02-06T19:00:00Z"), std::string::npos)
        << result.output;
  }
}

TEST_F(PublishTest, DryRunIntoAnEmptySiteWritesNothing) {
  writeFile(client_ / "a.pak", "a");
  writeFile(client_ / "big/b.pak", std::string(100000, 'b'));
  PublishRequest dry = request();
  dry.dryRun = true;
  dry.prune = true;
  PublishReport report;
  ASSERT_TRUE(publishClient(dry, report)) << ::testing::PrintToString(report.problems);
  EXPECT_TRUE(snapshotTree(site_.path()).empty());
  EXPECT_EQ(summaryLines(dry, report, false),
            (std::vector<std::string>{
                "eu: 2 files (97.7 KB), 2 to copy (97.7 KB), manifest would be updated (dry run: nothing written)",
                "first manifest of this server: 2 added", "version text would be set to \"KVLauncher Version 0.29\"",
                "0 unlisted site files would be pruned"}));
}

TEST_F(PublishTest, HashingOnSeveralThreadsGivesTheSameManifest) {
  for (int i = 0; i < 40; ++i) writeFile(client_ / ("f/" + std::to_string(i)), std::string(i * 5000, 'a' + i % 3));
  std::vector<std::string> manifests;
  for (const unsigned threads : {1u, 3u}) {
    TempDir site;
    PublishRequest publish{"eu", "v", client_.path(), site.path()};
    publish.threads = threads;
    PublishReport report;
    ASSERT_TRUE(publishClient(publish, report));
    manifests.push_back(readFile(site / "download/eu/manifest.json"));
  }
  EXPECT_EQ(manifests[0], manifests[1]);
}

TEST(PublishProgressLines, ShowFilesBytesRateAndTimeLeft) {
  const struct {
    StepFigures figures;
    std::string bar, done;
  } cases[] = {
      {{"hashing", 0, 10, 0, 1000, 0.0},
       "hashing [--------------------] 0/10 files, 0 B of 1000 B", "hashing: 0 files, 0 B in 0.0 s"},
      {{"hashing", 5, 10, 50LL << 20, 100LL << 20, 2.0},
       "hashing [##########----------] 5/10 files, 50.0 MB of 100.0 MB, 25.0 MB/s, 2.0 s left",
       "hashing: 5 files, 50.0 MB in 2.0 s (25.0 MB/s)"},
      {{"copying", 1, 4, 1LL << 30, 8LL << 30, 100.0},
       "copying [##------------------] 1/4 files, 1.00 GB of 8.00 GB, 10.2 MB/s, 11 min 40 s left",
       "copying: 1 files, 1.00 GB in 1 min 40 s (10.2 MB/s)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(progressLine(c.figures), c.bar);
    EXPECT_EQ(stepDoneLine(c.figures), c.done);
  }
  // A terminal gets the bar redrawn in place (cut to its width), then the
  // done line; anything else only the done line.
  for (const bool terminal : {false, true}) {
    std::FILE* file = std::tmpfile();
    ConsoleProgress progress(file, terminal, 30);
    progress.beginStep("hashing", 2, 10);
    progress.advance(2, 10);
    progress.endStep();
    std::rewind(file);
    char text[512] = {};
    const std::string out(text, std::fread(text, 1, sizeof text - 1, file));
    std::fclose(file);
    const std::string done = "hashing: 2 files, 10 B in ";
    EXPECT_EQ(out.rfind(terminal ? "\rhashing [--------------------\x1b[K\r" + done : done, 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  }
}

}  // namespace
}  // namespace kv::tools
