#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pe_builder.h"
#include "platform/linux/linux_platform.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace kv::platform::linux_backend {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class LibraryCheckTest : public ::testing::Test {
 protected:
  // A built library copied under the name the client uses.
  std::string place(const char* builtPath, const std::string& name) {
    const std::string target = folder / name;
    fs::copy_file(builtPath, target, fs::copy_options::overwrite_existing);
    return target;
  }

  TempDir folder;
  LinuxMachine machine{"/nonexistent"};
};

TEST_F(LibraryCheckTest, SharedObjectsAreLoadedAndSearched) {
  struct Case {
    const char* built;
    const char* symbol;
    bool found;
  };
  const Case cases[] = {
      {KV_STUB_EGL_LIBRARY, "eglGetDisplay", true},
      {KV_STUB_EGL_LIBRARY, "glGetString", false},
      {KV_STUB_GLES_LIBRARY, "glGetString", true},
      {KV_STUB_GLES_LIBRARY, "eglGetDisplay", false},
      {KV_STUB_OTHER_LIBRARY, "eglGetDisplay", false},
      {KV_STUB_OTHER_LIBRARY, "glGetString", false},
      // Offers the name but cannot be loaded with its symbols resolved.
      {KV_STUB_UNRESOLVED_LIBRARY, "eglGetDisplay", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.built) + " " + c.symbol);
    EXPECT_EQ(machine.libraryExports(c.built, c.symbol), c.found);
    // The name on disk does not matter.
    const std::string renamed = place(c.built, "libEGL.dll");
    EXPECT_EQ(machine.libraryExports(renamed, c.symbol), c.found);
  }
}

TEST_F(LibraryCheckTest, RelativePathsNameFilesNotSearchPaths) {
  const std::string placed = place(KV_STUB_GLES_LIBRARY, "libGLESv2.dll");
  const std::string relative = fs::relative(placed, fs::current_path()).string();
  EXPECT_TRUE(machine.libraryExports(relative, "glGetString"));

  // A bare name is the file in the working directory, never the system
  // library of that name found along the library path.
  const fs::path previous = fs::current_path();
  fs::current_path(folder.path());
  const bool systemLibrary = machine.libraryExports("libm.so.6", "cos");
  place(KV_STUB_GLES_LIBRARY, "libm.so.6");
  const bool localFile = machine.libraryExports("libm.so.6", "glGetString");
  fs::current_path(previous);
  EXPECT_FALSE(systemLibrary);
  EXPECT_TRUE(localFile);
}

TEST_F(LibraryCheckTest, SymbolsOfDependenciesDoNotCount) {
  // Every library here depends on the C library; its functions are found
  // through the handle but are not the library's own.
  EXPECT_TRUE(machine.libraryExports(KV_STUB_GLES_LIBRARY, "glGetString"));
  EXPECT_FALSE(machine.libraryExports(KV_STUB_GLES_LIBRARY, "malloc"));
  EXPECT_FALSE(machine.libraryExports(KV_STUB_GLES_LIBRARY, "printf"));
}

TEST_F(LibraryCheckTest, WindowsLibrariesAreReadNotLoaded) {
  struct Case {
    bool pe32Plus;
    std::vector<std::string> exports;
    const char* symbol;
    bool found;
  };
  const Case cases[] = {
      {false, {"eglGetDisplay", "eglInitialize"}, "eglGetDisplay", true},
      {true, {"eglGetDisplay", "eglInitialize"}, "eglGetDisplay", true},
      {false, {"glGetString"}, "glGetString", true},
      {true, {"glGetString"}, "glGetString", true},
      {false, {"eglInitialize"}, "eglGetDisplay", false},
      {true, {"glGetStringi"}, "glGetString", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.symbol);
    const std::string path = folder / "libGLESv2.dll";
    writeBytes(path, test::buildPeDll({c.pe32Plus, c.exports}).bytes);
    EXPECT_EQ(machine.libraryExports(path, c.symbol), c.found);
    // Cut in half, the same library does not work.
    auto bytes = test::buildPeDll({c.pe32Plus, c.exports}).bytes;
    bytes.resize(bytes.size() / 2);
    writeBytes(path, bytes);
    EXPECT_FALSE(machine.libraryExports(path, c.symbol));
  }
}

TEST_F(LibraryCheckTest, OtherFilesDoNotWork) {
  const std::string text = folder / "text.dll";
  test::writeFile(text, "not a library at all");
  const std::string empty = folder / "empty.dll";
  test::writeFile(empty, "");
  const std::string fakeElf = folder / "fake-elf.dll";
  test::writeFile(fakeElf, std::string("\x7f" "ELF", 4) + std::string(200, '\x01'));
  // A library built for another processor (e_machine = AArch64).
  const std::string foreign = folder / "foreign.dll";
  std::string elf = test::readFile(KV_STUB_GLES_LIBRARY);
  ASSERT_GT(elf.size(), 20u);
  elf[18] = static_cast<char>(183);
  elf[19] = 0;
  test::writeFile(foreign, elf);
  const std::string directory = folder / "dir.dll";
  fs::create_directory(directory);
  const std::string fifo = folder / "fifo.dll";
  ASSERT_TRUE(test::makeFifo(fifo));  // must not wait for a writer
  const std::string dangling = folder / "dangling.dll";
  fs::create_symlink(folder / "missing", dangling);

  for (const std::string& path :
       {text, empty, fakeElf, foreign, directory, fifo, dangling, folder / "missing.dll", std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(machine.libraryExports(path, "glGetString"));
  }
  const std::string link = folder / "link.dll";
  fs::create_symlink(KV_STUB_GLES_LIBRARY, link);
  EXPECT_TRUE(machine.libraryExports(link, "glGetString"));
  EXPECT_FALSE(machine.libraryExports(link, ""));
}

}  // namespace
}  // namespace kv::platform::linux_backend
