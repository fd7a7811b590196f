#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>

namespace kv::fuzz {
namespace fs = std::filesystem;

namespace {

struct ProcessFolder {
  std::string path;
  ProcessFolder() {
    std::string pattern = (fs::temp_directory_path() / "kvfuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) fail("cannot make the temporary folder", pattern);
    path = pattern;
  }
  ~ProcessFolder() { removeTree(path); }
};

}  // namespace

const std::string& processFolder() {
  static ProcessFolder folder;
  return folder.path;
}

std::string freshFolder(std::string_view name) {
  const std::string path = processFolder() + "/" + std::string(name);
  removeTree(path);
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) fail("cannot make a folder", path);
  return path;
}

void writeBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) fail("cannot write a file", path);
}

std::vector<std::string> listTree(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    out.push_back(fs::relative(it->path(), folder, ec).generic_string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

void removeTree(const std::string& folder) {
  std::error_code ec;
  // Entries the archive code may have made unwritable get their rights back
  // first so the removal reaches everything.
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(folder, ec);
}

void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "FUZZ FINDING: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

}  // namespace kv::fuzz
