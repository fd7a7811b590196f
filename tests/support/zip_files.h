#pragma once

#include <map>
#include <string>
#include <vector>

namespace kv::test {

// One entry of a ZIP file written by a test. A name that ends in "/" is a
// folder entry (its data is ignored).
struct ZipItem {
  std::string name;
  std::string data;
  bool symlink = false;  // stored with Unix link attributes; data is the target
  bool cp437 = false;    // name stored as code page 437 (no UTF-8 flag)
};

// Writes a well-formed ZIP file with libzip, the items in order (deflated),
// creating the parent folders. Throws std::runtime_error on failure. For
// layouts libzip refuses to write, see raw_zip.h.
void writeZip(const std::string& path, const std::vector<ZipItem>& items);

// Every entry of a ZIP file by name, with its data. Throws on failure.
std::map<std::string, std::string> readZip(const std::string& path);

}  // namespace kv::test
