#include "settings/config_archive_limits.h"

#include <cstdint>

#include "settings/config_texts.h"

namespace kv::settings {

bool fitsConfigurationLayout(const std::string& entryName) {
  const std::string characters = std::string(kCharactersFolderName) + "/";
  std::string_view rest = entryName;
  if (rest.starts_with(characters)) rest.remove_prefix(characters.size());
  return rest.find('/') == std::string_view::npos;
}

std::optional<ArchiveTotals> declaredArchiveTotals(const archive::ArchiveToExtract& zip) {
  if (!zip.readable()) return std::nullopt;
  ArchiveTotals totals;
  totals.entries = zip.entries().size();
  for (const archive::ZipEntryInfo& entry : zip.entries()) {
    const std::uint64_t size = entry.uncompressedSize;
    totals.bytes = size > UINT64_MAX - totals.bytes ? UINT64_MAX : totals.bytes + size;
    if (!fitsConfigurationLayout(entry.storedName)) totals.configurationLayout = false;
  }
  return totals;
}

}  // namespace kv::settings
