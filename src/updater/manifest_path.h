#pragma once

#include <string>
#include <string_view>

namespace kv::updater {

// Whether a manifest path may be used below a server folder: it is a safe
// relative name as an archive entry's must be (see archive::isSafeEntryName:
// no empty, "." or ".." segment, no control character, "\" or ":", no
// segment ending in "." or " ", no reserved device name), no segment has the
// form of a download temporary (see isDownloadTemporaryName), and it does not
// name the launcher's own files of the server folder: "manifest.json",
// "manifest.meta", "update.journal", "unpacked.json", "update.lock", or
// anything in "config", "config_backup" or "kvindex" (compared without regard to ASCII
// case), nor, at the top, a name that replacing one of those files removes
// as a leftover temporary (see isTemporaryNameOf).
[[nodiscard]] bool validateManifestPath(std::string_view path);

// Why validateManifestPath refuses path, as a clause that can follow it
// ("it holds ':'", "it names the launcher's own files in the server
// folder"); "" when it accepts it.
[[nodiscard]] std::string manifestPathProblem(std::string_view path);

// Whether path may name a chunk index head on the site (and its local copy
// in the server folder): "kvindex/" then one safe name (as for
// validateManifestPath, not of a download temporary's form) ending in ".kvi".
[[nodiscard]] bool validIndexHeadPath(std::string_view path);

}  // namespace kv::updater
