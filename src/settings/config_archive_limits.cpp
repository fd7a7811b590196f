#include "settings/config_archive_limits.h"

#include <zip.h>

#include <cstdint>

#include "settings/config_texts.h"

namespace kv::settings {

bool fitsConfigurationLayout(const std::string& entryName) {
  const std::string characters = std::string(kCharactersFolderName) + "/";
  std::string_view rest = entryName;
  if (rest.starts_with(characters)) rest.remove_prefix(characters.size());
  return rest.find('/') == std::string_view::npos;
}

std::optional<ArchiveTotals> declaredArchiveTotals(const std::string& path) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (archive == nullptr) return std::nullopt;
  ArchiveTotals totals;
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  bool readable = count >= 0;
  if (readable) totals.entries = static_cast<std::uint64_t>(count);
  for (zip_int64_t i = 0; readable && i < count; ++i) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) != 0 ||
        (st.valid & ZIP_STAT_SIZE) == 0) {
      readable = false;
      break;
    }
    totals.bytes = st.size > UINT64_MAX - totals.bytes ? UINT64_MAX : totals.bytes + st.size;
    const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (name == nullptr || !fitsConfigurationLayout(name)) totals.configurationLayout = false;
  }
  zip_discard(archive);
  if (!readable) return std::nullopt;
  return totals;
}

}  // namespace kv::settings
