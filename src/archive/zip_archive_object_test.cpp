#include "archive/zip_archive_object.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <random>

#include "archive/archive_texts.h"
#include "support/raw_zip.h"
#include "support/temp_dir.h"

namespace kv::archive {
namespace {

using test::buildRawZip;
using test::RawEntry;
using test::RawLayout;
using test::readFile;
using test::TempDir;
using test::writeFile;

// The text of the ZipError that action throws, or "<no error>".
std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ZipError& error) {
    return error.what();
  }
  return "<no error>";
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::string sampleArchive() {
  return buildRawZip({{.name = "a.txt", .data = "alpha"}, {.name = "b.txt", .data = "beta"}});
}

TEST(ZipArchiveLoad, FailsWithTheTextOfEachDamage) {
  TempDir dir;
  const std::string good = sampleArchive();
  struct Case {
    const char* label;
    std::function<std::string()> content;  // nothing written when it answers "<none>"
    std::string_view expected;
  };
  const std::vector<Case> cases = {
      {"missing file", [] { return std::string("<none>"); }, kBadZip},
      {"empty file", [] { return std::string(); }, kBadZip},
      {"html page", [] { return std::string("<html><body>404 Not Found</body></html>\n"); }, kNoEndRecord},
      {"first half", [&] { return good.substr(0, good.size() / 2); }, kNoEndRecord},
      {"end record cut", [&] { return good.substr(0, good.size() - 5); }, kBadZip},
      {"signature only at the very end", [] { return std::string("xxxxxxxxPK\x05\x06", 12); }, kBadZip},
      {"comment length past the end",
       [] {
         return buildRawZip({{.name = "a.txt", .data = "alpha"}}, RawLayout{.comment = "abc", .commentLength = 900});
       },
       kBadZip},
      {"directory damaged",
       [&] {
         std::string bad = good;
         bad[bad.rfind("PK\x01\x02")] = 'X';
         return bad;
       },
       kBadZip},
  };
  for (const Case& c : cases) {
    const std::string path = dir / (std::string(c.label) + ".zip");
    const std::string content = c.content();
    if (content != "<none>") writeFile(path, content);
    ZipArchive archive;
    EXPECT_EQ(errorOf([&] { archive.load(path); }), c.expected) << c.label;
    EXPECT_EQ(archive.mode(), ZipMode::None) << c.label;
    EXPECT_TRUE(archive.listEntries().empty()) << c.label;
  }
}

TEST(ZipArchiveLoad, FoldersAndPipesAreNotArchives) {
  TempDir dir;
  ZipArchive archive;
  EXPECT_EQ(errorOf([&] { archive.load(dir.path()); }), kBadZip);
  ASSERT_EQ(::mkfifo((dir / "pipe.zip").c_str(), 0644), 0);
  EXPECT_EQ(errorOf([&] { archive.load(dir / "pipe.zip"); }), kBadZip);  // without waiting for a writer
}

TEST(ZipArchiveLoad, KeepsTheCommentAndListsLikeWithoutOne) {
  TempDir dir;
  const std::vector<RawEntry> entries = {{.name = "a.txt", .data = "alpha"}, {.name = "b.txt", .data = "beta"}};
  for (const std::string& comment :
       {std::string("release 0.27"), std::string("PK\x05\x06") + " not an end record",
        std::string("PK\x05\x06") + std::string(18, '\0'), std::string("tail PK\x05\x06", 9)}) {
    const std::string path = dir / "c.zip";
    writeFile(path, buildRawZip(entries, RawLayout{.comment = comment}));
    ZipArchive archive;
    ASSERT_EQ(errorOf([&] { archive.load(path); }), "<no error>") << comment;
    EXPECT_EQ(archive.comment(), comment);
    const auto listed = archive.listEntries();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(archive.readEntry(listed[0]), "alpha");
    EXPECT_EQ(archive.readEntry(listed[1]), "beta");
  }
}

TEST(ZipArchiveWrite, RoundTripsNamesDataAndOrder) {
  TempDir dir;
  const std::string big = randomBytes(300 * 1024, 7);
  const std::string text(200000, 'k');
  {
    ZipArchive archive;
    archive.addEntry("characters/example.kvml", "server: 1\n");
    archive.addEntry("empty.bin", "");
    archive.addEntry("random.bin", big);
    archive.addEntry("text.txt", text);
    archive.addEntry("characters/\xE6\x97\xA5\xE6\x9C\xAC.kvml", "nihon");
    EXPECT_EQ(archive.mode(), ZipMode::Writing);
    archive.save(dir / "out.zip");
    EXPECT_EQ(archive.mode(), ZipMode::None);
    EXPECT_EQ(archive.fileName(), dir / "out.zip");
  }
  ZipArchive archive;
  archive.load(dir / "out.zip");
  EXPECT_EQ(archive.mode(), ZipMode::Reading);
  const auto entries = archive.listEntries();
  ASSERT_EQ(entries.size(), 5u);
  const std::vector<std::string> names = {"characters/example.kvml", "empty.bin", "random.bin", "text.txt",
                                          "characters/\xE6\x97\xA5\xE6\x9C\xAC.kvml"};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].index, i);
    EXPECT_EQ(entries[i].name, names[i]);
  }
  EXPECT_EQ(archive.readEntry(entries[0]), "server: 1\n");
  EXPECT_EQ(archive.readEntry(entries[1]), "");
  EXPECT_EQ(entries[1].uncompressedSize, 0u);
  EXPECT_EQ(archive.readEntry(entries[2]), big);
  EXPECT_EQ(archive.readEntry(entries[3]), text);
  EXPECT_LT(entries[3].compressedSize, 2000u);  // deflated
  EXPECT_EQ(entries[3].crc, test::crc32Of(text));
  EXPECT_EQ(archive.readEntry(entries[4]), "nihon");
}

TEST(ZipArchiveWrite, AnArchiveWithoutEntriesIsTheBareEndRecord) {
  TempDir dir;
  ZipArchive writer;
  writer.save(dir / "empty.zip");
  EXPECT_EQ(readFile(dir / "empty.zip"), kEmptyArchiveImage);
  ZipArchive reader;
  reader.load(dir / "empty.zip");
  EXPECT_EQ(reader.mode(), ZipMode::Reading);
  EXPECT_TRUE(reader.listEntries().empty());
}

TEST(ZipArchiveWrite, RefusesUnsafeOrNonUtf8NamesWithWriteError) {
  using namespace std::string_literals;
  for (const std::string& name : {"a\\b.txt"s, "/abs.txt"s, "c:x.txt"s, "x.pak:stream"s, "../up.txt"s, "sub/"s, ""s,
                                  "a\0b"s, "bad\xFF.txt"s, "\xC0\xAF.txt"s, "CON.txt"s}) {
    ZipArchive archive;
    EXPECT_EQ(errorOf([&] { archive.addEntry(name, "x"); }), kWriteError) << name;
  }
}

TEST(ZipArchiveWrite, ASecondAddOfTheSameNameIsRefused) {
  ZipArchive archive;
  archive.addEntry("x.txt", "1");
  EXPECT_EQ(errorOf([&] { archive.addEntry("x.txt", "2"); }), kWriteError);
}

TEST(ZipArchiveWrite, ALoadedArchiveIsNotSavedAgain) {
  TempDir dir;
  writeFile(dir / "in.zip", sampleArchive());
  ZipArchive archive;
  archive.load(dir / "in.zip");
  EXPECT_EQ(errorOf([&] { archive.save(dir / "copy.zip"); }), kWriteError);
  EXPECT_FALSE(test::exists(dir / "copy.zip"));
  // Adding starts a new archive that holds only the new entries.
  archive.addEntry("new.txt", "n");
  archive.save(dir / "new.zip");
  ZipArchive reader;
  reader.load(dir / "new.zip");
  ASSERT_EQ(reader.listEntries().size(), 1u);
  EXPECT_EQ(reader.listEntries()[0].name, "new.txt");
}

TEST(ZipArchiveWrite, ListingWhileWritingFails) {
  ZipArchive archive;
  archive.addEntry("x.txt", "1");
  EXPECT_EQ(errorOf([&] { (void)archive.listEntries(); }), kBadZip);
}

TEST(ZipArchiveWrite, AFailedSaveLeavesTheTargetAsItWas) {
  TempDir dir;
  writeFile(dir / "target.zip", "previous export");
  writeFile(dir / "src.txt", "data");
  {
    ZipArchive archive;
    archive.addFile("src.txt", dir / "src.txt");
    std::filesystem::remove(dir / "src.txt");  // gone before the archive is built
    EXPECT_EQ(errorOf([&] { archive.save(dir / "target.zip"); }), kWriteError);
  }
  {
    ZipArchive archive;
    archive.addEntry("a.txt", "a");
    const std::string missing = dir / "no/such/folder/x.zip";
    EXPECT_EQ(errorOf([&] { archive.save(missing); }), std::string(kWriteToFileFailed) + missing);
  }
  EXPECT_EQ(readFile(dir / "target.zip"), "previous export");
  EXPECT_EQ(test::snapshotTree(dir.path()).size(), 1u);  // no temporary file left behind
}

TEST(ZipArchiveRead, DamagedEntryDataIsUnreadable) {
  TempDir dir;
  const std::string data(5000, 'q');
  struct Case {
    const char* label;
    RawEntry entry;
  };
  const std::vector<Case> cases = {
      {"crc mismatch", {.name = "x", .data = data, .deflate = true, .crc = test::crc32Of(data) ^ 1u}},
      {"stored crc mismatch", {.name = "x", .data = data, .crc = 12345u}},
      {"more data than declared", {.name = "x", .data = data, .deflate = true, .size = 100}},
      {"less data than declared", {.name = "x", .data = data, .deflate = true, .size = 9000}},
      {"unknown method", {.name = "x", .data = data, .method = 77}},
      {"encrypted", {.name = "x", .data = data, .flags = 1}},
  };
  for (const Case& c : cases) {
    writeFile(dir / "d.zip", buildRawZip({c.entry}));
    ZipArchive archive;
    ASSERT_EQ(errorOf([&] { archive.load(dir / "d.zip"); }), "<no error>") << c.label;
    const auto entries = archive.listEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(errorOf([&] { (void)archive.readEntry(entries[0]); }), kEntryUnreadable) << c.label;
    EXPECT_EQ(errorOf([&] { archive.extractEntry(entries[0], dir / "out"); }),
              std::string(kOpenForWritingFailed) + dir / "out/x")
        << c.label;  // no folder "out"
    std::filesystem::create_directory(dir / "out");
    EXPECT_EQ(errorOf([&] { archive.extractEntry(entries[0], dir / "out"); }), kEntryUnreadable) << c.label;
    std::filesystem::remove_all(dir / "out");
  }
}

TEST(ZipArchiveLoad, NamesAreUtf8WhateverTheirStoredForm) {
  TempDir dir;
  writeFile(dir / "n.zip", buildRawZip({{.name = "caf\x82.txt", .data = "cp437"},
                                        {.name = "\xC3\x86r\xC3\xB8.kvml", .data = "utf8, no flag"},
                                        {.name = "\xE6\x97\xA5.kvml", .data = "utf8, flag", .flags = 0x800}}));
  ZipArchive archive;
  archive.load(dir / "n.zip");
  const auto entries = archive.listEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "caf\xC3\xA9.txt");  // code page 437 read as such
  EXPECT_EQ(entries[0].storedName, "caf\x82.txt");
  EXPECT_EQ(entries[1].name, "\xC3\x86r\xC3\xB8.kvml");
  EXPECT_EQ(entries[2].name, "\xE6\x97\xA5.kvml");
  std::filesystem::create_directory(dir / "out");
  for (const auto& entry : entries) archive.extractEntry(entry, dir / "out");
  EXPECT_EQ(readFile(dir / "out/caf\xC3\xA9.txt"), "cp437");
  EXPECT_EQ(readFile(dir / "out/\xE6\x97\xA5.kvml"), "utf8, flag");
}

TEST(ZipArchiveExtract, FailureTextsNameThePath) {
  TempDir dir;
  const std::string dest = dir / "dest";
  std::filesystem::create_directory(dest);
  std::filesystem::create_directory(dir / "dest/afolder");
  writeFile(dir / "dest/afile", "file");
  writeFile(dir / "a.zip", buildRawZip({{.name = "afile/", .data = ""},
                                        {.name = "afile/y.dll", .data = "y"},
                                        {.name = "../up.txt", .data = "u"},
                                        {.name = "afolder", .data = "f"},
                                        {.name = "full/", .data = "data in a folder entry"}}));
  ZipArchive archive;
  archive.load(dir / "a.zip");
  const auto entries = archive.listEntries();
  ASSERT_EQ(entries.size(), 5u);
  for (const auto& entry : entries) {
    EXPECT_EQ(errorOf([&] { archive.extractEntry(entry, dest); }),
              std::string(kOpenForWritingFailed) + dest + "/" + entry.name);
  }
  EXPECT_EQ(readFile(dir / "up.txt"), "<missing>");
}

TEST(ZipArchiveExtract, ReplacesALongerFileCompletely) {
  TempDir dir;
  writeFile(dir / "dest/a.txt", std::string(10000, 'o'));
  writeFile(dir / "a.zip", buildRawZip({{.name = "a.txt", .data = "new", .deflate = true}}));
  ZipArchive archive;
  archive.load(dir / "a.zip");
  archive.extractEntry(archive.listEntries().at(0), dir / "dest");
  EXPECT_EQ(readFile(dir / "dest/a.txt"), "new");
}

TEST(ZipArchiveExtract, PermissionBitsFollowTheUnixMode) {
  TempDir dir;
  writeFile(dir / "dest/was_exec", "old");
  ::chmod((dir / "dest/was_exec").c_str(), 0755);
  writeFile(dir / "dest/kept", "old");
  ::chmod((dir / "dest/kept").c_str(), 0755);
  writeFile(dir / "a.zip", buildRawZip({
                               {.name = "run.sh", .data = "#!/bin/sh\n", .unixMode = 0100755},
                               {.name = "owner_only", .data = "x", .unixMode = 0100700},
                               {.name = "plain", .data = "x", .unixMode = 0100644},
                               {.name = "setuid", .data = "x", .unixMode = 0104755},
                               {.name = "link", .data = "/etc/passwd", .unixMode = 0120777},
                               {.name = "was_exec", .data = "x", .unixMode = 0100644},
                               {.name = "dos", .data = "x", .system = 0, .unixMode = 0},
                               {.name = "kept", .data = "x", .system = 0, .unixMode = 0},
                           }));
  ZipArchive archive;
  archive.load(dir / "a.zip");
  for (const auto& entry : archive.listEntries()) archive.extractEntry(entry, dir / "dest");
  const auto modeOf = [&](const char* name) {
    struct stat st {};
    EXPECT_EQ(::lstat((dir / "dest/" + name).c_str(), &st), 0) << name;
    return st.st_mode;
  };
  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(modeOf("run.sh") & 07777, 0777 & ~mask);
  EXPECT_NE(modeOf("owner_only") & S_IXUSR, 0u);
  EXPECT_EQ(modeOf("plain") & 0111, 0u);
  EXPECT_EQ(modeOf("setuid") & (S_ISUID | S_ISGID | S_ISVTX), 0u);
  EXPECT_NE(modeOf("setuid") & S_IXUSR, 0u);
  EXPECT_TRUE(S_ISREG(modeOf("link")));
  EXPECT_EQ(modeOf("link") & 0111, 0u);
  EXPECT_EQ(modeOf("was_exec") & 0111, 0u);
  EXPECT_EQ(modeOf("dos") & 0111, 0u);
  EXPECT_EQ(modeOf("kept") & 07777, 0666 & ~mask);  // replaced; no Unix mode recorded
}

}  // namespace
}  // namespace kv::archive
