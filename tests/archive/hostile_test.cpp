// Archives built to break out of the destination, to exhaust memory or disk,
// or to confuse the reader; after every case the files outside the
// destination must be byte-identical.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "archive/sandbox.h"
#include "archive/zip_archive.h"
#include "archive/zip_archive_object.h"
#include "support/raw_zip.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::uint32_t readLittleEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i > 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i - 1]);
  return value;
}

// An end record with the given fields and no comment of its own.
std::string endRecord(std::uint16_t count, std::uint32_t size, std::uint32_t offset) {
  std::string record = "PK\x05\x06"s + std::string(18, '\0');
  const auto put = [&](std::size_t at, std::uint32_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) record[at + i] = static_cast<char>(value >> (8 * i));
  };
  put(8, count, 2);
  put(10, count, 2);
  put(12, size, 4);
  put(16, offset, 4);
  return record;
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TEST(HostileArchive, ZipSlipWritesNothingAnywhere) {
  ArchiveSandbox box;
  const auto before = box.outside();
  EXPECT_FALSE(box.extract(buildRawZip({{.name = "good.txt", .data = "good"},
                                        {.name = "../us/manifest.json", .data = "owned"},
                                        {.name = "../../outside/canary.bin", .data = "owned"},
                                        {.name = "characters/../../x.txt", .data = "owned"}})));
  EXPECT_EQ(box.outside(), before);
  EXPECT_TRUE(box.inside().empty());  // refused before the first write
  EXPECT_EQ(box.window.fullInvalidations(), 1);
}

TEST(HostileArchive, UnsafeNamesAreRefusedOneByOne) {
  for (const std::string& name :
       {"/abs/evil.txt"s, "/tmp/evil.txt"s, "C:/Windows/evil.txt"s, "C:evil.txt"s, "..\\..\\evil.txt"s,
        "a\\b.txt"s, "\\\\srv\\share\\evil.txt"s, "a\0b.txt"s, "x.dll\0.txt"s, "ctl\x01.txt"s, ".."s, "./"s,
        "x.pak:stream"s, "CON"s, "dir/nul.txt"s, "x.pak."s}) {
    ArchiveSandbox box;
    const auto before = box.outside();
    EXPECT_FALSE(box.extract(buildRawZip({{.name = "first.txt", .data = "1"}, {.name = name, .data = "evil"}})))
        << name;
    EXPECT_EQ(box.outside(), before) << name;
    EXPECT_TRUE(box.inside().empty()) << name;
  }
}

TEST(HostileArchive, SymlinkEntryBecomesARegularFile) {
  ArchiveSandbox box;
  const auto before = box.outside();
  ASSERT_TRUE(box.extract(buildRawZip({{.name = "link", .data = "/etc/passwd", .unixMode = 0120777}})));
  EXPECT_TRUE(isRegularFile(box.destination + "/link"));
  EXPECT_EQ(readFile(box.destination + "/link"), "/etc/passwd");

  // A later entry that goes through the "link" fails: link is a file.
  EXPECT_FALSE(box.extract(buildRawZip({{.name = "link", .data = "../../outside", .unixMode = 0120777},
                                        {.name = "link/canary.bin", .data = "owned"}})));
  EXPECT_TRUE(isRegularFile(box.destination + "/link"));
  EXPECT_EQ(box.outside(), before);
}

TEST(HostileArchive, NothingIsWrittenThroughLinksAlreadyInTheDestination) {
  ArchiveSandbox box;
  fs::create_symlink("../../outside/canary.bin", box.destination + "/a.txt");
  fs::create_symlink("/nonexistent/target", box.destination + "/dangling.txt");
  fs::create_directory_symlink("../../outside", box.destination + "/sub");
  writeFile(box.dir / "outside/hard.txt", "outside content");
  fs::create_hard_link(box.dir / "outside/hard.txt", box.destination + "/hard.txt");
  const auto before = box.outside();

  // A link at the file's place is replaced by a regular file.
  EXPECT_TRUE(box.extract(buildRawZip({{.name = "a.txt", .data = "new a"},
                                       {.name = "dangling.txt", .data = "new d"},
                                       {.name = "hard.txt", .data = "new h"}})));
  for (const char* name : {"/a.txt", "/dangling.txt", "/hard.txt"}) {
    EXPECT_TRUE(isRegularFile(box.destination + name)) << name;
  }
  EXPECT_EQ(readFile(box.destination + "/a.txt"), "new a");
  EXPECT_EQ(readFile(box.destination + "/hard.txt"), "new h");
  // A linked folder on the way is never entered.
  EXPECT_FALSE(box.extract(buildRawZip({{.name = "sub/canary.bin", .data = "owned"},
                                        {.name = "sub/new.txt", .data = "owned"}})));
  EXPECT_EQ(box.outside(), before);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(box.destination + "/sub")));
}

TEST(HostileArchive, SpecialFilesInTheWayFailWithoutBlocking) {
  ArchiveSandbox box;
  ASSERT_EQ(::mkfifo((box.destination + "/pipe").c_str(), 0644), 0);
  fs::create_directory(box.destination + "/folder");
  const auto before = box.outside();
  EXPECT_FALSE(box.extract(buildRawZip({{.name = "pipe", .data = "data"}})));
  EXPECT_FALSE(box.extract(buildRawZip({{.name = "folder", .data = "data"}})));
  EXPECT_TRUE(fs::is_fifo(box.destination + "/pipe"));
  EXPECT_TRUE(fs::is_directory(box.destination + "/folder"));
  EXPECT_EQ(box.outside(), before);
}

TEST(HostileArchive, LargeEntryIsStreamedToDisk) {
  ArchiveSandbox box;
  const std::string zeros(48u << 20, '\0');
  const std::string image = buildRawZip({{.name = "bomb.bin", .data = zeros, .deflate = true}});
  ASSERT_LT(image.size(), 200000u);
  const auto before = box.outside();
  ASSERT_TRUE(box.extract(image));
  EXPECT_EQ(fs::file_size(box.destination + "/bomb.bin"), zeros.size());
  EXPECT_EQ(box.outside(), before);
}

TEST(HostileArchive, DeclaredSizeBeyondTheDiskIsRefusedBeforeWriting) {
  ArchiveSandbox box;
  const auto before = box.outside();
  EXPECT_FALSE(box.extract(buildRawZip({{.name = "a.txt", .data = "a"},
                                        {.name = "huge.bin", .data = std::string(1000, '\0'), .deflate = true,
                                         .size = std::uint64_t{1} << 60}})));
  EXPECT_TRUE(box.inside().empty());
  // The archive itself opens: it is the size check that refused it.
  archive::ZipArchive zip;
  zip.load(box.dir / "archives/a.zip");
  const auto entries = zip.listEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].uncompressedSize, std::uint64_t{1} << 60);
  EXPECT_EQ(box.outside(), before);
}

TEST(HostileArchive, DamagedArchivesFailAndAFixedOneConverges) {
  std::string payload(20000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 7919u) >> 3);
  const std::vector<RawEntry> entries = {{.name = "good.txt", .data = "good"},
                                         {.name = "data.bin", .data = payload, .deflate = true}};
  const std::string sound = buildRawZip(entries);
  std::string flipped = sound;
  flipped[sound.find("data.bin") + 8 + 20] ^= 0x40;  // inside the compressed data
  std::string wrongCrc = buildRawZip({entries[0], {.name = "data.bin", .data = payload, .deflate = true,
                                                   .crc = crc32Of(payload) + 1}});
  struct Case {
    const char* label;
    std::string image;
    bool firstEntryWritten;
  };
  const std::vector<Case> cases = {
      {"truncated", sound.substr(0, sound.size() / 2), false},
      {"flipped byte", flipped, true},
      {"crc mismatch", wrongCrc, true},
      {"html page", "<!DOCTYPE html><html><body>Maintenance</body></html>", false},
      {"empty file", "", false},
  };
  for (const Case& c : cases) {
    ArchiveSandbox box;
    const auto before = box.outside();
    EXPECT_FALSE(box.extract(c.image)) << c.label;
    EXPECT_EQ(box.outside(), before) << c.label;
    EXPECT_EQ(readFile(box.destination + "/good.txt"), c.firstEntryWritten ? "good" : "<missing>") << c.label;
    EXPECT_EQ(box.window.fullInvalidations(), 1) << c.label;
    // The server is fixed: the next run overwrites whatever was left.
    EXPECT_TRUE(box.extract(sound)) << c.label;
    EXPECT_EQ(readFile(box.destination + "/data.bin"), payload) << c.label;
    EXPECT_EQ(box.inside().size(), 2u) << c.label;
  }
}

TEST(HostileArchive, CommentsDoNotChangeWhatIsExtracted) {
  const std::vector<RawEntry> entries = {{.name = "a.txt", .data = "alpha"},
                                         {.name = "b.bin", .data = std::string(3000, 'b'), .deflate = true}};
  const std::string image = buildRawZip(entries);
  ArchiveSandbox plain;
  ASSERT_TRUE(plain.extract(image));
  // Twenty fake end records: ten with garbage counts, ten that copy the
  // real record's count and point at or near the real directory.
  const std::uint32_t size = readLittleEndian32(image, image.size() - 10);
  const std::uint32_t offset = readLittleEndian32(image, image.size() - 6);
  std::string fakes;
  for (std::uint32_t i = 0; i < 10; ++i) {
    fakes += endRecord(static_cast<std::uint16_t>(0x3030 + i), 46 * (i + 1), i);
    fakes += endRecord(2, i % 2 == 0 ? size + i / 2 : size - i / 2 - 1, i < 6 ? offset : offset + 46 * (i - 5));
  }
  for (const std::string& comment :
       {"a normal comment"s, "PK\x05\x06"s, "PK\x05\x06"s + std::string(18, '\0'), "PK\x05\x06junk after"s,
        std::string(65000, 'c') + "PK\x05\x06"s, fakes, std::string(3000, 'c') + fakes + "tail"s}) {
    ArchiveSandbox box;
    const auto before = box.outside();
    EXPECT_TRUE(box.extract(buildRawZip(entries, RawLayout{.comment = comment}))) << comment.size();
    EXPECT_EQ(box.inside(), plain.inside()) << comment.size();
    EXPECT_EQ(box.outside(), before) << comment.size();
  }
}

TEST(HostileArchive, DuplicateNamesLastOneWins) {
  ArchiveSandbox box;
  const auto before = box.outside();
  ASSERT_TRUE(box.extract(buildRawZip({{.name = "x.txt", .data = "FIRST"}, {.name = "x.txt", .data = "SECOND"}})));
  EXPECT_EQ(readFile(box.destination + "/x.txt"), "SECOND");
  EXPECT_EQ(box.outside(), before);
}

TEST(HostileArchive, CaseVariantsKeepTheirOwnContent) {
  ArchiveSandbox box;
  const auto before = box.outside();
  ASSERT_TRUE(box.extract(buildRawZip({{.name = "Readme.txt", .data = "upper"},
                                       {.name = "README.txt", .data = "UPPER"},
                                       {.name = "readme.txt", .data = "lower"}})));
  EXPECT_EQ(readFile(box.destination + "/Readme.txt"), "upper");
  EXPECT_EQ(readFile(box.destination + "/README.txt"), "UPPER");
  EXPECT_EQ(readFile(box.destination + "/readme.txt"), "lower");
  EXPECT_EQ(box.outside(), before);
}

// Folder entries and files in folders that do not exist yet: the folders are
// made inside the destination, never through a link and never where a file
// stands; an unsafe folder name refuses the archive before anything is
// written.
TEST(HostileArchive, FoldersAreMadeOnlyInsideTheDestination) {
  using Tree = std::map<std::string, std::string>;
  const struct Case {
    const char* label;
    std::vector<RawEntry> entries;
    std::function<void(ArchiveSandbox&)> arrange;
    bool ok;
    Tree inside;
  } cases[] = {
      {"folder entries before their files",
       {{.name = "a.txt", .data = "a"}, {.name = "sub/", .data = ""}, {.name = "sub/y.txt", .data = "y"},
        {.name = "sub/empty/", .data = ""}},
       nullptr, true,
       Tree{{"a.txt", "a"}, {"sub", "<dir>"}, {"sub/y.txt", "y"}, {"sub/empty", "<dir>"}}},
      {"nested files without folder entries",
       {{.name = "x/y/z.txt", .data = "z"}, {.name = "x/w.txt", .data = "w"}}, nullptr, true,
       Tree{{"x", "<dir>"}, {"x/y", "<dir>"}, {"x/y/z.txt", "z"}, {"x/w.txt", "w"}}},
      {"a folder entry for a folder already there",
       {{.name = "sub/", .data = ""}, {.name = "sub/new.txt", .data = "n"}},
       [](ArchiveSandbox& box) { writeFile(box.destination + "/sub/old.txt", "o"); }, true,
       Tree{{"sub", "<dir>"}, {"sub/old.txt", "o"}, {"sub/new.txt", "n"}}},
      {"a file where a folder belongs",
       {{.name = "x.txt/", .data = ""}, {.name = "x.txt/y", .data = "y"}},
       [](ArchiveSandbox& box) { writeFile(box.destination + "/x.txt", "file"); }, false,
       Tree{{"x.txt", "file"}}},
      {"a linked folder is not entered",
       {{.name = "out/", .data = ""}, {.name = "out/new.txt", .data = "owned"}},
       [](ArchiveSandbox& box) { fs::create_directory_symlink("../../outside", box.destination + "/out"); },
       false, Tree{{"out", "-> ../../outside"}}},
      {"a symlink entry then a folder through it",
       {{.name = "link", .data = "../../outside", .unixMode = 0120777}, {.name = "link/sub/", .data = ""}},
       nullptr, false, Tree{{"link", "../../outside"}}},
      {"a folder entry holding data", {{.name = "full/", .data = "data"}}, nullptr, false, Tree{}},
  };
  for (const Case& c : cases) {
    ArchiveSandbox box;
    if (c.arrange) c.arrange(box);
    const auto before = box.outside();
    EXPECT_EQ(box.extract(buildRawZip(c.entries)), c.ok) << c.label;
    EXPECT_EQ(box.inside(), c.inside) << c.label;
    EXPECT_EQ(box.outside(), before) << c.label;
  }
  for (const std::string& name :
       {"../"s, "../up/"s, "sub/../../x/"s, "/abs/"s, "C:/"s, "a\\b/"s, "CON/"s, "dir./"s, "sub//"s,
        "x/./y/"s, "ctl\x01/"s, "nul\0/"s, "a./b.txt"s, "lpt1/b.txt"s}) {
    ArchiveSandbox box;
    const auto before = box.outside();
    EXPECT_FALSE(box.extract(buildRawZip({{.name = "first/", .data = ""}, {.name = name, .data = ""}})))
        << name;
    EXPECT_TRUE(box.inside().empty()) << name;  // refused before the first folder
    EXPECT_EQ(box.outside(), before) << name;
  }
}

// Entry counts at the edge of the classic end record, and beyond it.
TEST(HostileArchive, EntryCountLimits) {
  for (const std::size_t count : {std::size_t{65535}, std::size_t{65536}}) {
    std::vector<RawEntry> entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) entries.push_back({.name = "f" + std::to_string(i), .data = ""});
    ArchiveSandbox box;
    const auto before = box.outside();
    ASSERT_TRUE(box.extract(buildRawZip(entries))) << count;
    std::size_t files = 0;
    for (const auto& item : fs::directory_iterator(box.destination)) files += item.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, count);
    EXPECT_EQ(box.outside(), before) << count;
  }
}

TEST(HostileArchive, ParallelExtractionsShareNothing) {
  ArchiveSandbox first;
  ArchiveSandbox second;
  const std::string one = buildRawZip({{.name = "one.txt", .data = std::string(100000, '1'), .deflate = true}});
  const std::string two = buildRawZip({{.name = "two.txt", .data = std::string(100000, '2'), .deflate = true}});
  bool firstOk = false;
  bool secondOk = false;
  std::thread worker([&] { firstOk = first.extract(one); });
  secondOk = second.extract(two);
  worker.join();
  EXPECT_TRUE(firstOk);
  EXPECT_TRUE(secondOk);
  EXPECT_EQ(first.inside(), (std::map<std::string, std::string>{{"one.txt", std::string(100000, '1')}}));
  EXPECT_EQ(second.inside(), (std::map<std::string, std::string>{{"two.txt", std::string(100000, '2')}}));
}

}  // namespace
}  // namespace kv::test
