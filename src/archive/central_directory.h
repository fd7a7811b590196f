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
  // the file and agrees with the expected names: the stored names of that
  // directory, byte for byte (a NUL byte included), in directory order. A
  // directory that several end records point at is listed once.
  std::vector<std::vector<std::string>> directories;
};

// Reads the end of the open file of fileSize bytes and the central
// directories its end records (plain or ZIP64) point at. A directory agrees
// when it holds exactly one record per expected name and each record's
// name, cut at its first NUL byte, is the expected name at its place. Reads
// only within the file; never fails, a damaged or disagreeing record simply
// gives no directory. Every end record in the last 65,557 bytes is tried,
// however many a comment holds; one whose count differs costs no read.
[[nodiscard]] DirectoryScan scanCentralDirectories(const platform::File& file, std::uint64_t fileSize,
                                                   const std::vector<std::string>& expectedNames);

}  // namespace kv::archive
