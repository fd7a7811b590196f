// The ZIP reader (its scan of the central directories included) and
// extraction on arbitrary archive bytes. Extraction goes
// into a folder of a sandbox that also holds the archive and a canary file;
// afterwards nothing new exists outside that folder, the archive and the
// canary are unchanged, and nothing inside it is a symbolic link.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "archive/zip_archive.h"
#include "fuzz_support.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = kv::fuzz::asText(data, size);
  const std::string sandbox = kv::fuzz::freshFolder("zip");
  const std::string archive = sandbox + "/archive.zip";
  const std::string canary = "canary: nothing may touch this file\n";
  kv::fuzz::writeBytes(archive, bytes);
  kv::fuzz::writeBytes(sandbox + "/canary.txt", canary);
  const std::string destination = kv::fuzz::freshFolder("zip/dest");
  kv::fuzz::freshFolder("zip/dest/sub");

  (void)kv::archive::extractZipArchive(archive, destination, nullptr);

  for (const std::string& path : kv::fuzz::listTree(sandbox)) {
    if (path == "archive.zip" || path == "canary.txt" || path == "dest") continue;
    if (path.rfind("dest/", 0) != 0) kv::fuzz::fail("extraction wrote outside its folder", path);
    std::error_code ec;
    if (std::filesystem::is_symlink(sandbox + "/" + path, ec)) kv::fuzz::fail("extraction made a link", path);
  }
  if (readAll(sandbox + "/canary.txt") != canary) kv::fuzz::fail("the canary changed");
  if (readAll(archive) != bytes) kv::fuzz::fail("the archive changed");
  return 0;
}
