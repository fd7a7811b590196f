#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace kv::archive {

// What the end of an archive file says about its central directory.
struct DirectoryScan {
  // Whether the last 65,557 bytes hold an end-of-central-directory signature.
  bool endRecordFound = false;
  // For every end record found there whose central directory parses within
  // the file: the stored names of that directory, byte for byte (a NUL byte
  // included), in directory order.
  std::vector<std::vector<std::string>> directories;
};

// Reads the end of the open file of fileSize bytes and the central
// directories its end records (plain or ZIP64) point at. Reads only within
// the file; never fails, a damaged record simply gives no directory.
[[nodiscard]] DirectoryScan scanCentralDirectories(const platform::File& file, std::uint64_t fileSize);

}  // namespace kv::archive
