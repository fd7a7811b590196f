#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "updater/manifest.h"

namespace kv::updater {

// How much of an installed file is checked against its manifest entry.
enum class FileCheck {
  Metadata,  // a regular file of the listed size; nothing is read
  Content,   // also its SHA-256, where the entry's hash is one
};

// Whether a manifest hash is a SHA-256 written as 64 hexadecimal digits
// (any case), the form the publishing tool writes. Other hashes are opaque.
[[nodiscard]] bool isSha256Hex(std::string_view hash);

// The SHA-256 of the regular file at path as 64 lower-case hexadecimal
// digits; nothing when it is not a regular file or cannot be read.
[[nodiscard]] std::optional<std::string> sha256OfFile(const std::string& path);

// Whether the entry names a file of the installation that a check covers:
// archives are not (an unpacked one is deleted, the library fallback
// removes its own).
[[nodiscard]] bool isCheckedEntry(std::string_view path);

// Whether the file at path is a regular file of the size entry lists (any
// size when it lists none) and, with FileCheck::Content and a SHA-256 hash,
// holds the content that hash names.
[[nodiscard]] bool isWholeFile(const std::string& path, const ManifestEntry& entry, FileCheck check);

}  // namespace kv::updater
