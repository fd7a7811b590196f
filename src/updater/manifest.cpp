#include "updater/manifest.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/file_system.h"
#include "updater/atomic_file.h"
#include "updater/endpoints.h"
#include "updater/install_record.h"
#include "updater/manifest_path.h"

namespace kv::updater {
namespace {

using nlohmann::json;

// Parses text as strict JSON; nothing when it is not.
std::optional<json> parseJson(std::string_view text) {
  json document = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false,
                              /*ignore_comments=*/false);
  if (document.is_discarded()) return std::nullopt;
  return document;
}

// Reads "size" of an entry: absent is 0 (and not listed); otherwise an
// integer within 0..kMaxManifestFileSize.
bool readSize(const json& element, std::int64_t& size, bool& listed) {
  const auto it = element.find("size");
  listed = it != element.end();
  if (!listed) {
    size = 0;
    return true;
  }
  if (it->is_number_unsigned()) {
    const auto value = it->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(kMaxManifestFileSize)) return false;
    size = static_cast<std::int64_t>(value);
    return true;
  }
  if (it->is_number_integer()) {
    const auto value = it->get<std::int64_t>();
    if (value < 0 || value > kMaxManifestFileSize) return false;
    size = value;
    return true;
  }
  return false;
}

bool isLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Reads the "index" key of an element: nothing when it is absent or not
// well-formed (the file is then fetched whole, as by launchers that do not
// know the key).
std::optional<IndexRef> readIndexRef(const json& element) {
  const auto it = element.find("index");
  if (it == element.end() || !it->is_object()) return std::nullopt;
  const auto path = it->find("path");
  const auto hash = it->find("hash");
  const auto size = it->find("size");
  if (path == it->end() || !path->is_string() || hash == it->end() || !hash->is_string() || size == it->end() ||
      !size->is_number_integer()) {
    return std::nullopt;
  }
  IndexRef ref;
  ref.path = path->get<std::string>();
  ref.hash = hash->get<std::string>();
  if (size->is_number_unsigned()) {
    const auto value = size->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(kMaxIndexHeadSize)) return std::nullopt;
    ref.size = static_cast<std::int64_t>(value);
  } else {
    ref.size = size->get<std::int64_t>();
  }
  if (ref.size < 1 || ref.size > kMaxIndexHeadSize || ref.hash.size() != 64 || !isLowerHex(ref.hash) ||
      !validIndexHeadPath(ref.path)) {
    return std::nullopt;
  }
  return ref;
}

// Reads one element into entry; false with a reason when it is malformed.
bool readEntry(const json& element, ManifestEntry& entry, std::string& reason) {
  if (!element.is_object()) {
    reason = "an element is not an object";
    return false;
  }
  const auto path = element.find("path");
  const auto hash = element.find("hash");
  if (path == element.end() || !path->is_string()) {
    reason = "an element has no string \"path\"";
    return false;
  }
  if (hash == element.end() || !hash->is_string()) {
    reason = "an element has no string \"hash\"";
    return false;
  }
  entry.path = path->get<std::string>();
  entry.hash = hash->get<std::string>();
  if (!readSize(element, entry.size, entry.sizeListed)) {
    reason = "\"size\" of " + entry.path + " is not an integer between 0 and 1 TiB";
    return false;
  }
  if (!validateManifestPath(entry.path)) {
    reason = "unsafe path: " + entry.path;
    return false;
  }
  entry.index = readIndexRef(element);
  return true;
}

bool isClientBuildArchive(std::string_view path) {
  if (!path.ends_with(kArchiveExtension)) return false;
  path.remove_suffix(std::string_view(kArchiveExtension).size());
  return std::find(kClientBuildNames.begin(), kClientBuildNames.end(), path) != kClientBuildNames.end();
}

// Reads a manifest document into out; when chosenBuild is given, keeps only
// its archive of the four client build archives.
bool readManifest(std::string_view text, const std::optional<std::string_view>& chosenBuild,
                  ManifestMap& out, std::string& reason) {
  out.clear();
  try {
    const std::optional<json> document = parseJson(text);
    if (!document) {
      reason = "not valid JSON";
      return false;
    }
    if (!document->is_array()) {
      reason = "not a JSON array";
      return false;
    }
    const std::string keptArchive = chosenBuild ? std::string(*chosenBuild) + kArchiveExtension : std::string();
    ManifestMap map;
    for (const json& element : *document) {
      ManifestEntry entry;
      if (!readEntry(element, entry, reason)) return false;
      if (chosenBuild && isClientBuildArchive(entry.path) && entry.path != keptArchive) continue;
      std::string key = entry.path;
      // Manifests usually list their paths in order: the hint makes each
      // insertion constant time then, and one extra comparison otherwise.
      map.insert_or_assign(map.end(), std::move(key), std::move(entry));
    }
    out = std::move(map);
    return true;
  } catch (const std::exception& error) {
    reason = error.what();
  } catch (...) {
    reason = "unreadable manifest";
  }
  out.clear();
  return false;
}

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::string& path) {
  return platform::readRegularFile(path, std::numeric_limits<std::uint64_t>::max());
}

// path -> hash of a manifest document, or nothing when it is malformed.
std::optional<std::map<std::string, std::string>> hashesOf(std::string_view text) {
  ManifestMap map;
  std::string reason;
  if (!readManifest(text, std::nullopt, map, reason)) return std::nullopt;
  std::map<std::string, std::string> hashes;
  for (auto& [path, entry] : map) hashes.emplace(path, entry.hash);
  return hashes;
}

}  // namespace

bool quickManifestCheck(std::string_view remoteText, const std::string& referencePath) {
  const std::optional<std::string> reference = readWholeFile(referencePath);
  if (!reference) return false;
  const auto remote = hashesOf(remoteText);
  const auto local = hashesOf(*reference);
  if (!remote || !local) return false;
  for (const auto& [path, hash] : *remote) {
    const auto it = local->find(path);
    if (it == local->end() || it->second != hash) return false;
  }
  return true;
}

bool readRemoteManifest(std::string_view text, std::string_view chosenBuild, ManifestMap& remote,
                        std::string* reason) {
  std::string why;
  const bool ok = readManifest(text, chosenBuild, remote, why);
  if (!ok && reason != nullptr) *reason = why;
  return ok;
}

bool readLocalManifest(const std::string& serverDir, ManifestMap& local) {
  local.clear();
  const std::string path = joinPath(serverDir, kLocalManifestName);
  const platform::PathKind kind = platform::pathKind(path);
  if (kind != platform::PathKind::Missing && kind != platform::PathKind::Unknown) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return false;
    std::string why;
    if (!readManifest(*text, std::nullopt, local, why)) return false;
  }
  replayManifestJournal(serverDir, local);
  return true;
}

FetchPlan compareManifests(const ManifestMap& remote, const ManifestMap& local) {
  FetchPlan plan;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  // Both maps are in path order: one walk through each finds every match.
  auto it = local.begin();
  for (const auto& [path, entry] : remote) {
    while (it != local.end() && it->first < path) ++it;
    if (it != local.end() && it->first == path && it->second.hash == entry.hash && it->second.size == entry.size) {
      continue;
    }
    plan.paths.push_back(path);
    const std::int64_t size = std::max<std::int64_t>(entry.size, 0);
    plan.totalBytes = plan.totalBytes > kMax - size ? kMax : plan.totalBytes + size;
  }
  return plan;
}

void putInterfaceArtFirst(std::vector<std::string>& paths) {
  std::stable_partition(paths.begin(), paths.end(), [](const std::string& path) {
    return std::any_of(std::begin(kInterfaceArtFolders), std::end(kInterfaceArtFolders),
                       [&path](std::string_view folder) { return path.starts_with(folder); });
  });
}

std::string serializeManifest(const ManifestMap& local) {
  json document = json::array();
  for (const auto& [path, entry] : local) {
    json element{{"hash", entry.hash}, {"path", path}, {"size", entry.size}};
    if (entry.index) {
      element["index"] = json{{"hash", entry.index->hash}, {"path", entry.index->path}, {"size", entry.index->size}};
    }
    document.push_back(std::move(element));
  }
  // Strings are kept as they are; bytes that are not UTF-8 (never produced by
  // reading a manifest) are replaced instead of throwing.
  return document.dump(4, ' ', false, json::error_handler_t::replace);
}

bool writeLocalManifest(const std::string& serverDir, const ManifestMap& local, FileSync sync) {
  if (!serverDir.empty()) (void)platform::makeFolders(serverDir);
  if (!replaceFileAtomically(joinPath(serverDir, kLocalManifestName), serializeManifest(local), nullptr, sync)) {
    return false;
  }
  // The manifest now holds what the journal noted.
  removeManifestJournal(serverDir);
  return true;
}

}  // namespace kv::updater
