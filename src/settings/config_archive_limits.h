#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "archive/zip_archive.h"

namespace kv::settings {

// What a ZIP file's central directory declares.
struct ArchiveTotals {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;  // sum of the declared uncompressed sizes
  // Every entry fits a configuration folder: a file at the top, a file
  // directly inside "characters", or the folder entry "characters/".
  bool configurationLayout = true;
};

// Whether an entry of this stored name fits a configuration folder (see
// ArchiveTotals::configurationLayout).
[[nodiscard]] bool fitsConfigurationLayout(const std::string& entryName);

// The entry count, the declared uncompressed sizes and the layout of the
// entry names of the opened archive, read from its central directory before
// anything is extracted, so that an import can refuse an archive far larger
// than any configuration, or shaped unlike one, before writing a byte.
// Nothing when the file cannot be read as a ZIP file (extraction then
// reports it). Main thread.
std::optional<ArchiveTotals> declaredArchiveTotals(const archive::ArchiveToExtract& zip);

}  // namespace kv::settings
