#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv::settings {

// What a ZIP file's central directory declares.
struct ArchiveTotals {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;  // sum of the declared uncompressed sizes
};

// Reads the entry count and the declared uncompressed sizes of the ZIP file
// at path without extracting anything, so that an import can refuse an
// archive far larger than any configuration before writing a byte. Nothing
// when the file cannot be read as a ZIP file (extraction then reports it).
// Main thread.
std::optional<ArchiveTotals> declaredArchiveTotals(const std::string& path);

}  // namespace kv::settings
