#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace kv::test {

// A fresh folder under the system's temporary folder, removed with all its
// content when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes a file (creating its parent folders); throws on failure.
void writeFile(const std::string& path, const std::string& content);
// The whole file, or "<missing>" when it cannot be read.
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// size bytes that do not compress, the same for the same seed.
std::string noiseBytes(std::size_t size, std::uint64_t seed);

// Every file and folder under root with its content ("<dir>" for folders,
// "-> target" for symbolic links), keyed by the path relative to root.
std::map<std::string, std::string> snapshotTree(const std::string& root);

}  // namespace kv::test
