#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "updater/manifest.h"

namespace kv::updater {

// Whether a manifest hash is a SHA-256 written as 64 hexadecimal digits
// (any case), the form the publishing tool writes. Other hashes are opaque.
[[nodiscard]] bool isSha256Hex(std::string_view hash);

// Whether the entry names a file of the installation that a check covers:
// archives are not (an unpacked one is deleted, the library fallback
// removes its own).
[[nodiscard]] bool isCheckedEntry(std::string_view path);

// Whether the file at path is a regular file of the size entry lists (any
// size when it lists none). Reads the metadata only.
[[nodiscard]] bool isWholeFile(const std::string& path, const ManifestEntry& entry);

}  // namespace kv::updater
