#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "support/fault_injecting_files.h"
#include "support/temp_dir.h"

namespace kv::platform {
namespace {

// A file opened as the download log opens it.
File appendTo(const std::string& path) { return openForWriting(path, WriteMode::Append, FinalLink::Follow); }

namespace fs = std::filesystem;
using test::FaultInjectingFiles;
using test::readFile;
using test::TempDir;
using test::writeFile;

// Makes a symbolic link, or skips the test where the system or the user may
// not make one.
bool makeLink(const std::string& target, const std::string& link, bool folder) {
  std::error_code error;
  if (folder) {
    fs::create_directory_symlink(target, link, error);
  } else {
    fs::create_symlink(target, link, error);
  }
  return !error;
}

TEST(FileSystem, ShownPathsUseTheSystemsSeparator) {
  const bool windows = fs::path::preferred_separator == '\\';
  struct Case {
    std::string path;
    std::string onWindows;  // elsewhere the path is shown as it is
  };
  const Case cases[] = {
      {"C:/users/root/vandrel", "C:\\users\\root\\vandrel"},
      {"C:\\Games\\KV/eu/config", "C:\\Games\\KV\\eu\\config"},
      {"/home/p\xC3\xA9/.vandrel/eu/config", "\\home\\p\xC3\xA9\\.vandrel\\eu\\config"},
      {"eu/config/", "eu\\config\\"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(displayPath(c.path), windows ? c.onWindows : c.path) << c.path;
  }
}

TEST(FileSystem, PathKindTellsEveryKindApartWithoutFollowingLinks) {
  TempDir dir;
  writeFile(dir / "file", "x");
  fs::create_directory(dir / "folder");
  const bool links = makeLink(dir / "file", dir / "link", false) &&
                     makeLink(dir / "nowhere", dir / "dangling", false);
  struct Case {
    std::string name;
    PathKind kind;
  };
  std::vector<Case> cases = {{"file", PathKind::File},
                             {"folder", PathKind::Folder},
                             {"missing", PathKind::Missing},
                             {"missing/below", PathKind::Missing}};
  if (links) {
    cases.push_back({"link", PathKind::Link});
    cases.push_back({"dangling", PathKind::Link});
  }
  for (const Case& c : cases) {
    EXPECT_EQ(pathKind(dir / c.name), c.kind) << c.name;
  }
  EXPECT_TRUE(isRegularFile(dir / "file"));
  EXPECT_FALSE(isRegularFile(dir / "folder"));
  EXPECT_FALSE(isRegularFile(dir / "missing"));
  EXPECT_EQ(regularFileSizeAt(dir / "file"), readFile(dir / "file").size());
  EXPECT_EQ(regularFileSizeAt(dir / "folder"), std::nullopt);
  EXPECT_EQ(regularFileSizeAt(dir / "missing"), std::nullopt);
  if (links) {
    EXPECT_TRUE(isRegularFile(dir / "link"));
    EXPECT_EQ(regularFileSizeAt(dir / "link"), readFile(dir / "file").size());
  }
}

TEST(FileSystem, WrittenBytesAreReadBackAtAnyOffset) {
  TempDir dir;
  File file;
  const Folder folder = openFolder(dir.path());
  ASSERT_TRUE(folder.ok());
  ASSERT_EQ(createFileIn(folder, "data", false, file), CreateOutcome::Created);
  ASSERT_TRUE(file.write("0123456789", 10));
  ASSERT_TRUE(file.flush());
  ASSERT_TRUE(file.close());
  EXPECT_FALSE(file.ok());

  const File reader = openForReading(dir / "data");
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader.regularFileSize(), std::optional<std::uint64_t>(10));
  struct Case {
    std::uint64_t offset;
    std::size_t size;
    std::string expected;
  };
  for (const Case& c : {Case{0, 4, "0123"}, Case{7, 10, "789"}, Case{3, 2, "34"}, Case{10, 5, ""}}) {
    std::string out(c.size, '\0');
    const std::int64_t got = reader.readAt(c.offset, out.data(), out.size());
    ASSERT_EQ(got, static_cast<std::int64_t>(c.expected.size())) << c.offset;
    EXPECT_EQ(out.substr(0, static_cast<std::size_t>(got)), c.expected) << c.offset;
  }
}

TEST(FileSystem, OnlyRegularFilesHaveASize) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  const File folder = openForReading(dir / "folder");
  // Some systems refuse to open a folder as a file at all; either way it has
  // no size.
  EXPECT_FALSE(folder.regularFileSize().has_value());
  EXPECT_FALSE(openForReading(dir / "missing").ok());
}

TEST(FileSystem, AppendingKeepsWhatIsThere) {
  TempDir dir;
  for (const char* line : {"one\n", "two\n"}) {
    File file = appendTo(dir / "log");
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(file.write(line, 4));
    ASSERT_TRUE(file.close());
  }
  EXPECT_EQ(readFile(dir / "log"), "one\ntwo\n");
}

// One holder of an exclusive lock at a time, also among open files of one
// process; closing the holder lets the next one take it.
TEST(FileSystem, AnExclusiveLockHasOneHolder) {
  TempDir dir;
  LockOutcome first = LockOutcome::Failed;
  File holder = lockExclusively(dir / "update.lock", first);
  ASSERT_EQ(first, LockOutcome::Taken);
  LockOutcome second = LockOutcome::Failed;
  EXPECT_FALSE(lockExclusively(dir / "update.lock", second).ok());
  EXPECT_EQ(second, LockOutcome::Busy);
  ASSERT_TRUE(holder.close());
  File next = lockExclusively(dir / "update.lock", second);
  EXPECT_TRUE(next.ok());
  EXPECT_EQ(second, LockOutcome::Taken);
  // A folder in the lock file's place is no lock.
  fs::create_directory(dir / "folder");
  LockOutcome refused = LockOutcome::Taken;
  EXPECT_FALSE(lockExclusively(dir / "folder", refused).ok());
  EXPECT_EQ(refused, LockOutcome::Failed);
}

TEST(FileSystem, OpeningForWritingCutsOrKeepsAndNeverWritesThroughARefusedLink) {
  TempDir dir;
  writeFile(dir / "outside", "keep");
  fs::create_directory(dir / "folder");
  const bool links = makeLink(dir / "outside", dir / "link", false);
  struct Case {
    const char* name;
    WriteMode mode;
    FinalLink link;
    bool opens;
    std::string expected;  // at name afterwards, after writing "new"
  };
  std::vector<Case> cases = {
      {"fresh", WriteMode::Truncate, FinalLink::Refuse, true, "new"},
      {"outside", WriteMode::Truncate, FinalLink::Refuse, true, "new"},
      {"outside", WriteMode::Append, FinalLink::Refuse, true, "newnew"},
      {"appended", WriteMode::Append, FinalLink::Refuse, true, "new"},
      {"folder", WriteMode::Truncate, FinalLink::Follow, false, ""},
  };
  if (links) {
    cases.push_back({"link", WriteMode::Truncate, FinalLink::Refuse, false, "newnew"});
    cases.push_back({"link", WriteMode::Append, FinalLink::Refuse, false, "newnew"});
    cases.push_back({"link", WriteMode::Append, FinalLink::Follow, true, "newnewnew"});
  }
  for (const Case& c : cases) {
    File file = openForWriting(dir / c.name, c.mode, c.link);
    ASSERT_EQ(file.ok(), c.opens) << c.name;
    if (c.opens) {
      ASSERT_TRUE(file.write("new", 3));
      ASSERT_TRUE(file.close());
    }
    if (!c.expected.empty()) {
      EXPECT_EQ(readFile(dir / c.name), c.expected) << c.name;
    }
  }
  EXPECT_EQ(pathKind(dir / "link"), links ? PathKind::Link : PathKind::Missing);
  EXPECT_EQ(pathKind(dir / "folder"), PathKind::Folder);
}

TEST(FileSystem, InjectedFaultsFailTheOperationAndChangeNothing) {
  TempDir dir;
  writeFile(dir / "file", "old");
  // Each operation against a fresh fault of its kind: it fails, nothing on
  // the disk changes, and the reason is the system's own.
  struct Case {
    FileOperation operation;
    std::function<bool()> run;
  };
  const Case cases[] = {
      {FileOperation::Open, [&] { return openForReading(dir / "file").ok(); }},
      {FileOperation::Open, [&] { return openFolder(dir.path()).ok(); }},
      {FileOperation::Create, [&] { return openForWriting(dir / "file", WriteMode::Truncate).ok(); }},
      {FileOperation::Create, [&] { return makeFolder(dir / "new") == CreateOutcome::Created; }},
      {FileOperation::Rename, [&] { return renameReplacing(dir / "file", dir / "moved"); }},
      {FileOperation::Remove, [&] { return removeFile(dir / "file"); }},
      {FileOperation::Write, [&] {
         File file = appendTo(dir / "file");
         return file.write("more", 4);
       }},
      {FileOperation::Flush, [&] { return appendTo(dir / "file").flush(); }},
      {FileOperation::Close, [&] { return appendTo(dir / "file").close(); }},
  };
  for (const FileFault fault : {FileFault::DiskFull, FileFault::Denied}) {
    for (const Case& c : cases) {
      FaultInjectingFiles faults;
      faults.failNth(c.operation, 1, fault);
      EXPECT_FALSE(c.run()) << static_cast<int>(c.operation);
      std::string reason = lastErrorText();
      for (char& letter : reason) letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
      const bool full = reason.find("space") != std::string::npos || reason.find("full") != std::string::npos;
      EXPECT_EQ(full, fault == FileFault::DiskFull) << reason;
      EXPECT_EQ(faults.count(c.operation), 1) << static_cast<int>(c.operation);
      EXPECT_EQ(readFile(dir / "file"), "old");
      EXPECT_EQ(pathKind(dir / "new"), PathKind::Missing);
      EXPECT_EQ(pathKind(dir / "moved"), PathKind::Missing);
    }
  }
  // Without the faults, the same operations go through again.
  EXPECT_TRUE(renameReplacing(dir / "file", dir / "moved"));
}

TEST(FileSystem, InjectedFaultsCountOperationsAndLockPathsAsTheyMove) {
  TempDir dir;
  fs::create_directories(dir / "top/locked");
  writeFile(dir / "top/locked/inside", "x");
  FaultInjectingFiles faults;
  faults.failNth(FileOperation::Write, 2, FileFault::IoError);
  faults.failFrom(FileOperation::Create, 2, FileFault::DiskFull, ".log");
  File file = appendTo(dir / "a.log");
  EXPECT_TRUE(file.write("1", 1));
  EXPECT_FALSE(file.write("2", 1));
  EXPECT_TRUE(file.write("3", 1));
  EXPECT_TRUE(file.close());
  EXPECT_EQ(readFile(dir / "a.log"), "13");
  EXPECT_TRUE(appendTo(dir / "other.txt").ok());  // not counted
  EXPECT_FALSE(appendTo(dir / "a.log").ok());
  EXPECT_FALSE(appendTo(dir / "b.log").ok());

  // A locked folder takes no new entries and loses none, and cannot move;
  // its content stays readable, and the lock follows a move of its parent.
  faults.lock(dir / "top/locked");
  EXPECT_FALSE(removeFile(dir / "top/locked/inside"));
  EXPECT_EQ(makeFolder(dir / "top/locked/sub"), CreateOutcome::Failed);
  EXPECT_FALSE(renameNoReplace(dir / "top/locked", dir / "top/away"));
  EXPECT_EQ(readFile(dir / "top/locked/inside"), "x");
  ASSERT_TRUE(renameNoReplace(dir / "top", dir / "moved"));
  EXPECT_FALSE(removeFile(dir / "moved/locked/inside"));
  faults.unlock(dir / "moved/locked");
  EXPECT_TRUE(removeFile(dir / "moved/locked/inside"));
}

TEST(FileSystem, TemporaryFileRenamedOverALinkReplacesTheLink) {
  TempDir dir;
  writeFile(dir / "outside", "keep");
  if (!makeLink(dir / "outside", dir / "target", false)) GTEST_SKIP() << "no symbolic links here";
  std::string temporary;
  File file = createTemporaryBeside(dir / "target", temporary);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(temporary.rfind(dir / "target", 0), 0u) << temporary;
  ASSERT_TRUE(file.write("new", 3));
  ASSERT_TRUE(file.close());
  ASSERT_TRUE(renameReplacing(temporary, dir / "target"));
  EXPECT_EQ(pathKind(dir / "target"), PathKind::File);
  EXPECT_EQ(readFile(dir / "target"), "new");
  EXPECT_EQ(readFile(dir / "outside"), "keep");
  EXPECT_EQ(pathKind(temporary), PathKind::Missing);
}

// Where a chain of links leads, so that a file can be replaced at its
// target and the links stay links.
TEST(FileSystem, LinkTargetPathFollowsEveryLinkToTheFile) {
  TempDir dir;
  writeFile(dir / "real/file", "old");
  EXPECT_EQ(linkTargetPath(dir / "real/file"), dir / "real/file");
  EXPECT_EQ(linkTargetPath(dir / "missing"), dir / "missing");
  if (!makeLink(dir / "real/file", dir / "first", false) || !makeLink(dir / "first", dir / "second", false)) {
    GTEST_SKIP() << "no symbolic links here";
  }
  for (const char* link : {"first", "second"}) {
    const std::string target = linkTargetPath(dir / link);
    EXPECT_TRUE(fs::equivalent(fs::path(target), fs::path(dir / "real/file"))) << link << ": " << target;
    EXPECT_EQ(pathKind(target), PathKind::File) << link;
  }
  ASSERT_TRUE(replaceFileAtomically(linkTargetPath(dir / "second"), "new"));
  EXPECT_EQ(pathKind(dir / "second"), PathKind::Link);
  EXPECT_EQ(pathKind(dir / "first"), PathKind::Link);
  EXPECT_EQ(readFile(dir / "real/file"), "new");
}

TEST(FileSystem, TemporaryNamesNeverCollide) {
  TempDir dir;
  std::string first;
  std::string second;
  File a = createTemporaryBeside(dir / "x", first);
  File b = createTemporaryBeside(dir / "x", second);
  ASSERT_TRUE(a.ok());
  ASSERT_TRUE(b.ok());
  EXPECT_NE(first, second);
  // Left-over temporaries are recognised by their form, and only they: a
  // file of the same stem with a word after it is someone's own.
  for (const std::string& name : {first, second}) {
    const std::string prefix = dir / "x.";
    ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
    EXPECT_TRUE(isTemporaryNameOf(name.substr(dir.path().size() + 1), "x")) << name;
  }
  const struct {
    const char* name;
    bool temporary;
  } forms[] = {
      {"x.a1B2c3", true}, {"x.0000ab12_00c0ffee", true},  {"x.4242_17", true},  {"x.minisig", false},
      {"x.abcde", false}, {"x.a1B2c3d", false},           {"x.back_up", false}, {"x.12_", false},
      {"x._12", false},   {"x.0000ab12-00c0ffee", false}, {"y.a1B2c3", false},  {"x.", false},
      {"xa1B2c3", false},
  };
  for (const auto& form : forms) EXPECT_EQ(isTemporaryNameOf(form.name, "x"), form.temporary) << form.name;
}

TEST(FileSystem, RemoveFileLeavesFoldersAndLinkTargetsAlone) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  writeFile(dir / "target", "keep");
  EXPECT_FALSE(removeFile(dir / "folder"));
  EXPECT_EQ(pathKind(dir / "folder"), PathKind::Folder);
  EXPECT_FALSE(removeFile(dir / "missing"));
  if (makeLink(dir / "target", dir / "link", false)) {
    EXPECT_TRUE(removeFile(dir / "link"));
    EXPECT_EQ(pathKind(dir / "link"), PathKind::Missing);
    EXPECT_EQ(readFile(dir / "target"), "keep");
  }
  EXPECT_TRUE(removeFile(dir / "target"));
  EXPECT_EQ(pathKind(dir / "target"), PathKind::Missing);
}

TEST(FileSystem, CreationInAFolderNeverFollowsALink) {
  TempDir dir;
  fs::create_directory(dir / "root");
  fs::create_directory(dir / "elsewhere");
  writeFile(dir / "outside", "keep");
  if (!makeLink(dir / "outside", dir / "root/file", false) ||
      !makeLink(dir / "elsewhere", dir / "root/sub", true)) {
    GTEST_SKIP() << "no symbolic links here";
  }
  const Folder root = openFolder(dir / "root");
  ASSERT_TRUE(root.ok());

  File file;
  EXPECT_EQ(createFileIn(root, "file", false, file), CreateOutcome::Exists);
  EXPECT_FALSE(file.ok());
  EXPECT_EQ(pathKindIn(root, "file"), PathKind::Link);
  EXPECT_TRUE(removeFileIn(root, "file"));
  EXPECT_TRUE(removeFileIn(root, "file"));  // gone already
  EXPECT_EQ(readFile(dir / "outside"), "keep");
  EXPECT_EQ(createFileIn(root, "file", true, file), CreateOutcome::Created);

  // A link to a folder is not opened as a folder below the root.
  EXPECT_FALSE(openFolderIn(root, "sub").ok());
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

TEST(FileSystem, SubfoldersOpenAndHoldNewFiles) {
  TempDir dir;
  fs::create_directories(dir / "root/a/b");
  const Folder root = openFolder(dir / "root");
  const Folder a = openFolderIn(root, "a");
  const Folder b = openFolderIn(a, "b");
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(pathKindIn(a, "b"), PathKind::Folder);
  EXPECT_EQ(pathKindIn(b, "none"), PathKind::Missing);
  EXPECT_FALSE(openFolderIn(root, "none").ok());
  File file;
  ASSERT_EQ(createFileIn(b, "leaf", false, file), CreateOutcome::Created);
  ASSERT_TRUE(file.write("x", 1));
  ASSERT_TRUE(file.close());
  EXPECT_EQ(readFile(dir / "root/a/b/leaf"), "x");
  EXPECT_FALSE(removeFileIn(a, "b"));
  EXPECT_EQ(pathKindIn(a, "b"), PathKind::Folder);
}

TEST(FileSystem, FolderTreeRemovalTakesEverythingBelowIt) {
  TempDir dir;
  fs::create_directories(dir / "root/tree/a/b/c");
  fs::create_directories(dir / "root/tree/empty");
  writeFile(dir / "root/tree/top.txt", "1");
  writeFile(dir / "root/tree/a/b/c/deep.bin", std::string(70000, 'x'));
  writeFile(dir / "root/plain", "2");
  const Folder root = openFolder(dir / "root");
  ASSERT_TRUE(root.ok());

  EXPECT_TRUE(removeFolderTreeIn(root, "tree"));
  EXPECT_EQ(pathKindIn(root, "tree"), PathKind::Missing);
  // Only folders are taken; a file or a missing name is refused.
  EXPECT_FALSE(removeFolderTreeIn(root, "plain"));
  EXPECT_EQ(readFile(dir / "root/plain"), "2");
  EXPECT_FALSE(removeFolderTreeIn(root, "tree"));
}

TEST(FileSystem, FolderTreeRemovalNeverFollowsALink) {
  TempDir dir;
  fs::create_directories(dir / "root/tree");
  fs::create_directory(dir / "elsewhere");
  writeFile(dir / "elsewhere/keep.txt", "keep");
  writeFile(dir / "outside", "keep");
  if (!makeLink(dir / "elsewhere", dir / "root/tree/folderlink", true) ||
      !makeLink(dir / "outside", dir / "root/tree/filelink", false) ||
      !makeLink(dir / "elsewhere", dir / "root/link", true)) {
    GTEST_SKIP() << "no symbolic links here";
  }
  const Folder root = openFolder(dir / "root");
  ASSERT_TRUE(root.ok());

  // A link at the name itself is not a folder to empty.
  EXPECT_FALSE(removeFolderTreeIn(root, "link"));
  EXPECT_EQ(pathKindIn(root, "link"), PathKind::Link);
  // Links below the folder go as links; what they point to stays.
  EXPECT_TRUE(removeFolderTreeIn(root, "tree"));
  EXPECT_EQ(pathKindIn(root, "tree"), PathKind::Missing);
  EXPECT_EQ(readFile(dir / "elsewhere/keep.txt"), "keep");
  EXPECT_EQ(readFile(dir / "outside"), "keep");
}

}  // namespace
}  // namespace kv::platform
