#include "updater/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kv::updater {
namespace {

using test::readFile;
using test::snapshotTree;
using test::TempDir;
using test::writeFile;

// A replacement cut off by a kill leaves its temporary file; the next
// replacement of the same file removes such leftovers and nothing else.
TEST(ReplaceFileAtomically, RemovesTemporariesLeftByInterruptedReplacements) {
  TempDir dir;
  const std::string path = dir / "manifest.json";
  writeFile(path, "old");
  struct Case {
    const char* name;
    bool removed;
  };
  const Case cases[] = {
      {"manifest.json.Ab12Cd", true},          // the POSIX form
      {"manifest.json.4242_17", true},         // the Windows form
      {"manifest.json.bak-1", false},          // not a temporary name
      {"manifest.json.Ab12C", false},          // too short
      {"manifest.jsonAb12Cd", false},          // no dot
      {"manifest.meta.Ab12Cd", false},         // another file's temporary
      {"Manifest.json.Ab12Cd", false},         // another name
  };
  for (const Case& c : cases) writeFile(dir / c.name, "left");
  std::filesystem::create_directories(dir / "manifest.json.Folder1");

  ASSERT_TRUE(replaceFileAtomically(path, "new", nullptr, FileSync::NoFlush));
  EXPECT_EQ(readFile(path), "new");
  for (const Case& c : cases) EXPECT_EQ(std::filesystem::exists(dir / c.name), !c.removed) << c.name;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "manifest.json.Folder1")) << "a folder is never removed";
  EXPECT_EQ(snapshotTree(dir.path()).size(), 1 + 5 + 1u);
}

}  // namespace
}  // namespace kv::updater
