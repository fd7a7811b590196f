#include "updater/download_resume.h"

#include <charconv>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/file_system.h"
#include "updater/atomic_file.h"
#include "updater/endpoints.h"
#include "platform/sha256.h"

namespace kv::updater {
namespace {

// How deep removeStrayDownloadFiles looks below its root.
constexpr int kMaxStrayDepth = 64;

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// A temporary, a record, or what a killed write of a record left.
bool isDownloadFileName(std::string_view name) {
  const std::string_view temporary = kDownloadTemporarySuffix;
  const std::string record = std::string(temporary) + kDownloadRecordSuffix;
  if (name.size() > temporary.size() && name.ends_with(temporary)) return true;
  if (name.size() > record.size() && name.ends_with(record)) return true;
  const std::size_t at = name.rfind(record + ".");
  return at != std::string_view::npos && at > 0 && isTemporaryNameOf(name, name.substr(0, at + record.size()));
}

void removeStrayIn(const platform::Folder& folder, const std::string& prefix, const std::set<std::string>& keep,
                   int depth) {
  std::vector<std::string> names;
  (void)platform::listNames(folder, names);
  for (const std::string& name : names) {
    const platform::PathKind kind = platform::pathKindIn(folder, name);
    const std::string relative = prefix + name;
    if (kind == platform::PathKind::Folder && depth < kMaxStrayDepth) {
      const platform::Folder inner = platform::openFolderIn(folder, name);
      if (inner.ok()) removeStrayIn(inner, relative + "/", keep, depth + 1);
    } else if (kind == platform::PathKind::File && isDownloadFileName(name) && keep.count(relative) == 0) {
      (void)platform::removeFileIn(folder, name);
    }
  }
}

// Parses a whole decimal number of at most 18 digits.
std::optional<std::int64_t> parseCount(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Whether contentRange is "bytes FROM-LAST/(size or *)".
bool coversExactly(std::string_view contentRange, std::int64_t from, std::int64_t lastByte, std::int64_t size) {
  std::string_view text = trimmed(contentRange);
  if (!text.starts_with("bytes ")) return false;
  text = trimmed(text.substr(6));
  const std::size_t dash = text.find('-');
  const std::size_t slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return false;
  const std::optional<std::int64_t> first = parseCount(text.substr(0, dash));
  const std::optional<std::int64_t> last = parseCount(text.substr(dash + 1, slash - dash - 1));
  const std::string_view total = text.substr(slash + 1);
  if (!first || !last || *first != from || *last != lastByte) return false;
  if (total == "*") return true;
  const std::optional<std::int64_t> whole = parseCount(total);
  return whole && *whole == size;
}

}  // namespace

std::string downloadRecordPath(const std::string& temporaryPath) {
  return temporaryPath + std::string(kDownloadRecordSuffix);
}

bool writeDownloadRecord(const std::string& recordPath, const DownloadRecord& record) {
  if (record.validator.empty() || hasLineBreak(record.validator) || record.size < 0) return false;
  try {
    const nlohmann::json json = {
        {"path", record.path}, {"hash", record.hash}, {"size", record.size}, {"validator", record.validator}};
    const std::string text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    if (text.size() > kMaxDownloadRecordBytes) return false;
    return replaceFileAtomically(recordPath, text, nullptr, FileSync::NoFlush);
  } catch (...) {
    return false;  // a field that is not UTF-8
  }
}

std::optional<DownloadRecord> readDownloadRecord(const std::string& recordPath) {
  if (platform::pathKind(recordPath) != platform::PathKind::File) return std::nullopt;
  const std::optional<std::string> text = platform::readRegularFile(recordPath, kMaxDownloadRecordBytes);
  if (!text) return std::nullopt;
  const nlohmann::json json = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  const auto path = json.find("path");
  const auto hash = json.find("hash");
  const auto size = json.find("size");
  const auto validator = json.find("validator");
  if (path == json.end() || !path->is_string() || hash == json.end() || !hash->is_string() ||
      size == json.end() || !size->is_number_unsigned() || validator == json.end() || !validator->is_string()) {
    return std::nullopt;
  }
  DownloadRecord record;
  record.path = path->get<std::string>();
  record.hash = hash->get<std::string>();
  const std::uint64_t count = size->get<std::uint64_t>();
  if (count > static_cast<std::uint64_t>(kMaxManifestFileSize)) return std::nullopt;
  record.size = static_cast<std::int64_t>(count);
  record.validator = validator->get<std::string>();
  if (record.validator.empty() || hasLineBreak(record.validator)) return std::nullopt;
  return record;
}

std::string answerValidator(std::string_view etag, std::string_view lastModified) {
  etag = trimmed(etag);
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') return std::string(etag);
  return std::string(trimmed(lastModified));
}

AnswerBody judgeAnswerBody(long status, std::string_view contentRange, std::string_view validator,
                           const DownloadRange& range, std::int64_t fileSize) {
  if (status == 200) return range.isSlice() ? AnswerBody::Refused : AnswerBody::Whole;
  if (status != 206) return AnswerBody::ErrorPage;
  if (!range.asksRange()) return AnswerBody::ErrorPage;  // a range nobody asked for
  const std::int64_t lastByte = range.isSlice() ? range.to : fileSize - 1;
  if (range.from >= fileSize || lastByte >= fileSize || !coversExactly(contentRange, range.from, lastByte, fileSize)) {
    return AnswerBody::Refused;
  }
  if (!validator.empty() && !range.ifRange.empty() && validator != range.ifRange) return AnswerBody::Refused;
  if (!validator.empty() && range.ifRange.empty() && !range.isSlice()) return AnswerBody::Refused;
  return AnswerBody::Rest;
}

std::int64_t restBytes(const DownloadRange& range, std::int64_t fileSize) {
  return (range.isSlice() ? range.to + 1 : fileSize) - range.from;
}

void removeStrayDownloadFiles(const std::string& root, const std::set<std::string>& keep) {
  const platform::Folder folder = platform::openFolder(root);
  if (folder.ok()) removeStrayIn(folder, "", keep, 0);
}

std::optional<std::string> fileSha256Hex(const std::string& path) {
  if (platform::pathKind(path) != platform::PathKind::File) return std::nullopt;
  const platform::File file = platform::openForReading(path);
  if (!file.ok() || !file.regularFileSize()) return std::nullopt;
  platform::Sha256 digest;
  std::vector<char> buffer(std::size_t{1} << 20);
  std::uint64_t offset = 0;
  for (;;) {
    const std::int64_t n = file.readAt(offset, buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    digest.add(buffer.data(), static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return digest.finishHex();
}

}  // namespace kv::updater
