#pragma once

#include <string>
#include <string_view>

namespace kv::updater {

// Whether every entry of the downloaded archive at archivePath, placed in the
// server folder's sub-folder archiveFolder ("" for the server folder itself,
// else ending in "/"), lands on a path that validateManifestPath accepts: no
// entry may replace the launcher's own manifest, Last-Modified record or
// configuration. An archive that cannot be read counts as safe here (its
// extraction reports the damage). Worker thread. Never throws.
[[nodiscard]] bool archiveEntriesAreSafe(const std::string& archivePath, std::string_view archiveFolder);

}  // namespace kv::updater
