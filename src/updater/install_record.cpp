#include "updater/install_record.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "base/launcher_files.h"
#include "base/path_text.h"
#include "updater/archive_guard.h"
#include "updater/atomic_file.h"
#include "updater/endpoints.h"
#include "updater/manifest_path.h"

namespace kv::updater {
namespace {

using nlohmann::json;

// The launcher's own records are small; anything larger is not one of them.
constexpr std::uint64_t kMaxRecordBytes = kManifestBodyLimit;

std::optional<json> parseJson(std::string_view text) {
  json document = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false,
                              /*ignore_comments=*/false);
  if (document.is_discarded()) return std::nullopt;
  return document;
}

// A string member that is a path the manifest rules accept.
std::optional<std::string> pathMember(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  std::string path = it->get<std::string>();
  if (!validateManifestPath(path)) return std::nullopt;
  return path;
}

// An integer member within 0..limit.
std::optional<std::int64_t> countMember(const json& object, const char* key, std::int64_t limit) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return std::nullopt;
  if (it->is_number_unsigned()) {
    const auto value = it->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(limit)) return std::nullopt;
    return static_cast<std::int64_t>(value);
  }
  const auto value = it->get<std::int64_t>();
  if (value < 0 || value > limit) return std::nullopt;
  return value;
}

std::string dumped(const json& document) { return document.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace

ManifestJournal::ManifestJournal(std::string serverDir) : path_(joinPath(serverDir, kManifestJournalName)) {}

bool ManifestJournal::replacing(const std::string& path) { return append(dumped(json{{"replacing", path}})); }

bool ManifestJournal::installed(const ManifestEntry& entry) {
  json note{{"installed", entry.path}, {"hash", entry.hash}};
  if (entry.sizeListed) note["size"] = entry.size;
  if (entry.index) note["index"] = indexRefJson(*entry.index);
  return append(dumped(note));
}

bool ManifestJournal::append(const std::string& line) {
  if (!file_.ok()) file_ = platform::openForWriting(path_, platform::WriteMode::Append);
  const std::string whole = line + "\n";
  // One write per note, so a kill leaves whole lines.
  return file_.ok() && file_.write(whole.data(), whole.size());
}

void replayManifestJournal(const std::string& serverDir, ManifestMap& local) {
  const std::optional<std::string> text =
      platform::readRegularFile(joinPath(serverDir, kManifestJournalName), kMaxRecordBytes);
  if (!text) return;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    const std::optional<json> note = parseJson(std::string_view(*text).substr(start, end - start));
    start = end + 1;
    if (!note || !note->is_object()) continue;
    if (const std::optional<std::string> path = pathMember(*note, "replacing")) {
      local.erase(*path);
      continue;
    }
    const std::optional<std::string> path = pathMember(*note, "installed");
    const auto hash = note->find("hash");
    if (!path || hash == note->end() || !hash->is_string()) continue;
    ManifestEntry entry;
    entry.path = *path;
    entry.hash = hash->get<std::string>();
    if (note->contains("size")) {
      const std::optional<std::int64_t> size = countMember(*note, "size", kMaxManifestFileSize);
      if (!size) continue;
      entry.size = *size;
    } else {
      entry.sizeListed = false;
    }
    entry.index = readIndexRef(*note);
    local[*path] = std::move(entry);
  }
}

bool hasManifestJournal(const std::string& serverDir) {
  return platform::pathKind(joinPath(serverDir, kManifestJournalName)) != platform::PathKind::Missing;
}

void removeManifestJournal(const std::string& serverDir) {
  (void)platform::removeFile(joinPath(serverDir, kManifestJournalName));
}

bool readUnpackedRecord(const std::string& serverDir, UnpackedFiles& files) {
  files.clear();
  const std::string path = joinPath(serverDir, kUnpackedRecordName);
  const platform::PathKind kind = platform::pathKind(path);
  if (kind == platform::PathKind::Missing) return true;
  const std::optional<std::string> text = platform::readRegularFile(path, kMaxRecordBytes);
  if (!text) return false;
  const std::optional<json> document = parseJson(*text);
  if (!document || !document->is_array()) return false;
  for (const json& element : *document) {
    if (!element.is_object()) return files.clear(), false;
    const std::optional<std::string> file = pathMember(element, "path");
    const std::optional<std::string> archive = pathMember(element, "archive");
    const std::optional<std::int64_t> size = countMember(element, "size", kMaxManifestFileSize);
    const std::optional<std::int64_t> crc = countMember(element, "crc32", 0xFFFFFFFF);
    if (!file || !archive || !size || !crc || !isUnpackedArchive(*archive)) return files.clear(), false;
    files[*file] = {*file, *size, static_cast<std::uint32_t>(*crc), *archive};
  }
  return true;
}

bool writeUnpackedRecord(const std::string& serverDir, const UnpackedFiles& files) {
  json document = json::array();
  for (const auto& [path, file] : files) {
    document.push_back(json{{"archive", file.archive}, {"crc32", file.crc32}, {"path", path}, {"size", file.size}});
  }
  return replaceFileAtomically(joinPath(serverDir, kUnpackedRecordName),
                               document.dump(1, '\t', false, json::error_handler_t::replace), nullptr,
                               FileSync::NoFlush);
}

void recordUnpacked(UnpackedFiles& files, const std::string& archive,
                    const std::vector<archive::ZipEntryInfo>& unpacked) {
  std::erase_if(files, [&archive](const auto& item) { return item.second.archive == archive; });
  const std::string folder = archiveFolderOf(archive);
  for (const archive::ZipEntryInfo& entry : unpacked) {
    if (archive::isFolderEntry(entry)) continue;
    const std::string path = entryLandingPath(entry, folder);
    files[path] = {path, static_cast<std::int64_t>(entry.uncompressedSize), entry.crc, archive};
  }
}

std::string crc32HashText(std::uint32_t crc32) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(crc32));
  return std::string("crc32:") + text;
}

std::optional<std::uint32_t> crc32OfHashText(const std::string& hash) {
  if (hash.size() != 14 || !hash.starts_with("crc32:")) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : std::string_view(hash).substr(6)) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

}  // namespace kv::updater
