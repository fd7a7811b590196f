#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "updater/install_record.h"
#include "updater/manifest.h"

namespace kv::updater {

// Whether a manifest hash is a SHA-256 written as 64 hexadecimal digits
// (any case), the form the publishing tool writes. Other hashes are opaque.
[[nodiscard]] bool isSha256Hex(std::string_view hash);

// Whether hexDigest (a SHA-256 in lower-case hex) is the listed hash, which
// must be a SHA-256 in hex of any case.
[[nodiscard]] bool matchesSha256(std::string_view hexDigest, std::string_view listedHash);

// Whether the entry names a file of the installation that a check covers:
// archives are not (an unpacked one is deleted, the library fallback
// removes its own).
[[nodiscard]] bool isCheckedEntry(std::string_view path);

// Whether the file at path is a regular file of the size entry lists (any
// size when it lists none). Reads the metadata only.
[[nodiscard]] bool isWholeFile(const std::string& path, const ManifestEntry& entry);

// A further look at a file that passed isWholeFile (its content, say):
// false marks it damaged.
using ContentCheck = std::function<bool(const std::string& path, const ManifestEntry& entry)>;

// What the check of an installation found: the files it covered, the paths
// of those found damaged (listed files and files archives unpacked), the
// archives to fetch and unpack again for the damaged unpacked files, and the
// local manifest it went by (nothing when that cannot be read), so a run
// need not read it again.
struct InstalledCheck {
  std::size_t checked = 0;
  std::set<std::string> damaged;
  std::set<std::string> archivesToUnpack;
  std::optional<ManifestMap> local;
};

// Checks every file the local manifest of serverDir lists that a check
// covers (isCheckedEntry), and every file its record of unpacked files names
// (but those a listed file now owns) whose archive the manifest still
// records: missing, not a regular file, not of its listed size, or refused by
// contentCheck (may be empty; an unpacked file's entry carries its CRC-32 in
// the crc32HashText form) marks it damaged. Nothing when the local manifest
// cannot be read. Ends early, with what it found so
// far, once cancel (may be null) is set. Reads only the disk; any thread.
[[nodiscard]] InstalledCheck checkInstalledFiles(const std::string& serverDir, const ContentCheck& contentCheck,
                                                 const std::atomic<bool>* cancel);

}  // namespace kv::updater
