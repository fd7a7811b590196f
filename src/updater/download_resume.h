#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "updater/http_transport.h"

namespace kv::updater {

// What the record beside a download temporary says about its bytes: the
// manifest entry they belong to (path, listed hash and size) and the
// validator of the answer they came from (an ETag, or a Last-Modified value).
struct DownloadRecord {
  std::string path;
  std::string hash;
  std::int64_t size = 0;
  std::string validator;
};

// The record's place beside the temporary at temporaryPath.
[[nodiscard]] std::string downloadRecordPath(const std::string& temporaryPath);

// Writes record to recordPath atomically (not flushed: it only has to
// survive the process being killed). False when it cannot be written or a
// field would not read back as written (a line break in it).
[[nodiscard]] bool writeDownloadRecord(const std::string& recordPath, const DownloadRecord& record);

// The record at recordPath; nothing when none is there, it is a link or not
// a regular file, is larger than kMaxDownloadRecordBytes, or is not a
// well-formed record.
[[nodiscard]] std::optional<DownloadRecord> readDownloadRecord(const std::string& recordPath);

// The validator a range request may name from an answer's headers: a strong
// ETag, else the Last-Modified value; "" when there is neither (a weak ETag
// cannot vouch for a byte range).
[[nodiscard]] std::string answerValidator(std::string_view etag, std::string_view lastModified);

// What the body of a download's answer is, judged from its status and
// headers and the range asked for.
enum class AnswerBody {
  Whole,      // status 200: the file from its first byte
  Rest,       // status 206 continuing exactly where the held bytes end (a slice: exactly its bytes)
  Refused,    // status 206 to a range request that does not continue them (a slice: also a 200)
  ErrorPage,  // any other status (also 206 to a request without a range)
};

// Judges an answer with status, its Content-Range and validator values, to
// a request for range of a file of fileSize bytes. A 206 is the rest only
// when its Content-Range is "bytes FROM-(fileSize-1)/(fileSize or *)" (a
// slice: "bytes FROM-TO/(fileSize or *)", TO below fileSize) and its
// validator, when it has one, is the one asked for.
[[nodiscard]] AnswerBody judgeAnswerBody(long status, std::string_view contentRange, std::string_view validator,
                                         const DownloadRange& range, std::int64_t fileSize);

// The most body bytes an answer judged Rest may hold for range of a file of
// fileSize bytes.
[[nodiscard]] std::int64_t restBytes(const DownloadRange& range, std::int64_t fileSize);

// Removes, in the folder at root and the folders below it, every file named
// like a download temporary or its record (ending in kDownloadTemporarySuffix,
// or in it followed by kDownloadRecordSuffix, or the temporary a killed write
// of such a record left) whose path relative to root is not in keep. Links
// are never followed and nothing else is touched.
void removeStrayDownloadFiles(const std::string& root, const std::set<std::string>& keep);

// The SHA-256 of the regular file at path (never through a link) as 64
// lower-case hex digits; nothing when it cannot be read.
[[nodiscard]] std::optional<std::string> fileSha256Hex(const std::string& path);

}  // namespace kv::updater
