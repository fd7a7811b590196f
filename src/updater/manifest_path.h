#pragma once

#include <string_view>

namespace kv::updater {

// Whether a manifest path may be used below a server folder. A valid path is
// non-empty and relative; it is made of "/"-separated segments that are not
// empty, ".", or "..", that hold no control character (bytes below 0x20 and
// 0x7F), no "\" and no ":", that do not end in "." or " ", and that are not a
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without
// an extension, any case), and that do not have the form of a download
// temporary (see isDownloadTemporaryName). It must not name the launcher's own files of the
// server folder: "manifest.json", "manifest.meta", or anything in "config" or
// "config_backup" (compared without regard to ASCII case), nor, at the top,
// a name that replacing one of those two files removes as a leftover
// temporary (see isTemporaryNameOf).
[[nodiscard]] bool validateManifestPath(std::string_view path);

}  // namespace kv::updater
