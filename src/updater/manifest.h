#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "updater/atomic_file.h"

namespace kv::updater {

// The chunk index a manifest element names for its file (its "index" key):
// the head's path on the site ("kvindex/H.kvi", see delta/chunk_index.h), its
// SHA-256 hex and its size in bytes. The fine file is beside the head.
struct IndexRef {
  std::string path;
  std::string hash;
  std::int64_t size = 0;
  friend bool operator==(const IndexRef&, const IndexRef&) = default;
};

// The largest index head a manifest may name.
inline constexpr std::int64_t kMaxIndexHeadSize = std::int64_t{64} << 20;

// One file of a client installation as a manifest lists it.
struct ManifestEntry {
  std::string path;        // relative to the server folder, "/"-separated
  std::string hash;        // opaque content identifier, compared as text
  std::int64_t size = 0;   // bytes; 0 when the manifest leaves it out
  bool sizeListed = true;  // false when the manifest leaves "size" out
  // The file's chunk index, when the element names a well-formed one.
  std::optional<IndexRef> index;
};

// A manifest keyed by path, in byte-wise path order.
using ManifestMap = std::map<std::string, ManifestEntry>;

// What a comparison asks to fetch.
struct FetchPlan {
  std::vector<std::string> paths;  // in path order (see putInterfaceArtFirst)
  std::int64_t totalBytes = 0;     // sum of their remote sizes
};

// Whether the quick-check reference file at referencePath lists every path of
// remoteText with the same hash. A missing or unreadable reference, or either
// document not being a well-formed manifest, answers false. Never throws.
[[nodiscard]] bool quickManifestCheck(std::string_view remoteText, const std::string& referencePath);

// Parses a remote manifest, keeping of the four client build archives only
// chosenBuild + ".zip". False when the text is not a JSON array of objects
// with string "path" and "hash" and an optional integer "size" between 0 and
// kMaxManifestFileSize, or when any path fails validateManifestPath; remote
// is then left empty and reason (when given) says why. A path listed twice
// keeps its later entry. An "index" key is read into the entry's index when
// it is an object with a "path" that passes validIndexHeadPath, a "hash" of
// 64 hex digits and an integer "size" of 1..kMaxIndexHeadSize; any other
// "index" value is ignored, the entry kept. Never throws.
[[nodiscard]] bool readRemoteManifest(std::string_view text, std::string_view chosenBuild,
                                      ManifestMap& remote, std::string* reason = nullptr);

// Reads serverDir + "/manifest.json" into local, then applies the notes of
// its journal (see replayManifestJournal). A missing file is a first
// installation: true with an empty map (and what the journal noted). False
// when the file exists but is not a well-formed manifest (same rules as the
// remote one, no build filter). Never throws.
[[nodiscard]] bool readLocalManifest(const std::string& serverDir, ManifestMap& local);

// The remote entries whose path is missing from local or whose hash or size
// differ (an index alone changes nothing), and the sum of their remote sizes (saturating, never overflows).
FetchPlan compareManifests(const ManifestMap& remote, const ManifestMap& local);

// Moves the paths of the interface art (in kInterfaceArtFolders) ahead of
// the others, each group keeping its order, so that a new installation shows
// its server's own look within the first seconds of its first update.
void putInterfaceArtFirst(std::vector<std::string>& paths);

// The manifest document of local: a JSON array in path order, keys "hash",
// "index" (when the entry has one: "hash", "path", "size"), "path", "size",
// indented by 4, no final newline; "[]" when empty.
std::string serializeManifest(const ManifestMap& local);

// Replaces serverDir + "/manifest.json" with local, creating serverDir when
// needed. The file is written beside the old one, flushed to disk (unless
// sync says otherwise) and renamed over it, so a reader always finds the old
// or the new complete document, then removes the journal whose notes it now
// holds. False when it could not be written (the old file and the journal
// stay).
[[nodiscard]] bool writeLocalManifest(const std::string& serverDir, const ManifestMap& local,
                                      FileSync sync = FileSync::Flush);

}  // namespace kv::updater
