#include "archive/central_directory.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string_view>

#include "platform/file_system.h"

namespace kv::archive {

namespace {

constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kMaxCommentSize = 0xFFFF;
constexpr std::uint64_t kLocatorSize = 20;
constexpr std::uint64_t kZip64EndRecordSize = 56;
constexpr std::uint64_t kDirectoryRecordSize = 46;

std::uint64_t readLittleEndian(std::string_view bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[offset + i - 1]);
  }
  return value;
}

bool readAt(const platform::File& file, std::uint64_t offset, std::uint64_t size, std::string& out) {
  out.assign(static_cast<std::size_t>(size), '\0');
  std::uint64_t done = 0;
  while (done < size) {
    const std::int64_t got = file.readAt(offset + done, out.data() + done, static_cast<std::size_t>(size - done));
    if (got <= 0) return false;
    done += static_cast<std::uint64_t>(got);
  }
  return true;
}

// Reads a stretch of the file that is walked forward: the first read is
// small, so that a candidate whose first record is garbage costs little, and
// later reads grow up to a piece, so that a long directory costs one read
// per piece rather than one per record.
class ForwardReader {
 public:
  ForwardReader(const platform::File& fd, std::uint64_t end) : fd_(fd), end_(end) {}

  // The n bytes at offset; nothing when they do not lie before the end.
  // The view holds until the next call.
  std::optional<std::string_view> at(std::uint64_t offset, std::uint64_t n) {
    if (offset > end_ || n > end_ - offset) return std::nullopt;
    if (offset < start_ || offset - start_ > data_.size() || n > data_.size() - (offset - start_)) {
      const std::uint64_t size = std::min(end_ - offset, std::max(n, piece_));
      if (!readAt(fd_, offset, size, data_)) return std::nullopt;
      start_ = offset;
      piece_ = std::min<std::uint64_t>(piece_ * 4, kLargestPiece);
    }
    return std::string_view(data_).substr(static_cast<std::size_t>(offset - start_), static_cast<std::size_t>(n));
  }

 private:
  static constexpr std::uint64_t kLargestPiece = 256 * 1024;
  const platform::File& fd_;
  std::uint64_t end_;
  std::uint64_t start_ = 0;
  std::uint64_t piece_ = kDirectoryRecordSize;
  std::string data_;
};

// The stored names of the directory records at offset, one for each
// expected name, when every record parses inside the file and its name, cut
// at its first NUL byte, is the expected one; the walk stops at the first
// record that does not. length receives the bytes the records take.
bool readAgreeingNames(const platform::File& fd, std::uint64_t fileSize, std::uint64_t offset,
                       const std::vector<std::string>& expected, std::vector<std::string>& names,
                       std::uint64_t& length) {
  ForwardReader reader(fd, fileSize);
  names.clear();
  std::uint64_t position = offset;
  for (const std::string& want : expected) {
    const auto header = reader.at(position, kDirectoryRecordSize);
    if (!header || header->compare(0, 4, "PK\x01\x02") != 0) return false;
    const auto nameLength = readLittleEndian(*header, 28, 2);
    const auto otherLength = readLittleEndian(*header, 30, 2) + readLittleEndian(*header, 32, 2);
    const auto name = reader.at(position + kDirectoryRecordSize, nameLength + otherLength);
    if (!name) return false;
    const std::string_view stored = name->substr(0, static_cast<std::size_t>(nameLength));
    if (stored.substr(0, stored.find('\0')) != want) return false;
    names.emplace_back(stored);
    position += kDirectoryRecordSize + nameLength + otherLength;
  }
  length = position - offset;
  return true;
}

// The end records already looked at. A comment may hold thousands of end
// signatures; each is checked against the expected entry count before any
// read, and each directory start is walked at most twice, so the work stays
// bounded by the signatures in the last 65,557 bytes.
struct Candidates {
  struct Walk {
    std::optional<std::uint64_t> length;  // the bytes its records take, when they agree
    bool added = false;                   // its names are in the scan
  };
  const std::vector<std::string>& expected;
  std::map<std::uint64_t, Walk> walked;  // by directory start
};

// Adds the directory that the end record at endOffset (inside tail, which
// starts at tailOffset) describes, trying the recorded position and the
// position right before the end records (data prepended to the archive).
void addDirectory(const platform::File& fd, std::uint64_t fileSize, std::string_view tail, std::uint64_t tailOffset,
                  std::size_t endOffset, Candidates& candidates, DirectoryScan& scan) {
  std::uint64_t count = readLittleEndian(tail, endOffset + 10, 2);
  std::uint64_t size = readLittleEndian(tail, endOffset + 12, 4);
  std::uint64_t offset = readLittleEndian(tail, endOffset + 16, 4);
  std::uint64_t recordsStart = tailOffset + endOffset;
  const bool extended = count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF;
  if (!extended && count != candidates.expected.size()) return;
  if (extended && recordsStart >= kLocatorSize) {
    std::string locator;
    std::string record;
    if (readAt(fd, recordsStart - kLocatorSize, kLocatorSize, locator) &&
        locator.compare(0, 4, "PK\x06\x07") == 0) {
      const std::uint64_t recordOffset = readLittleEndian(locator, 8, 8);
      if (recordOffset <= fileSize && fileSize - recordOffset >= kZip64EndRecordSize &&
          readAt(fd, recordOffset, kZip64EndRecordSize, record) && record.compare(0, 4, "PK\x06\x06") == 0) {
        count = readLittleEndian(record, 32, 8);
        size = readLittleEndian(record, 40, 8);
        offset = readLittleEndian(record, 48, 8);
        recordsStart = recordOffset;
      }
    }
  }
  if (count != candidates.expected.size()) return;
  for (const std::uint64_t start : {offset, size <= recordsStart ? recordsStart - size : offset}) {
    if (start > fileSize || size > fileSize - start || count > size / kDirectoryRecordSize) continue;
    auto [found, isNew] = candidates.walked.try_emplace(start);
    Candidates::Walk& walk = found->second;
    // The records must agree and lie inside the size the end record gives.
    if (!isNew && (!walk.length || *walk.length > size)) continue;
    if (walk.added) return;
    std::vector<std::string> names;
    std::uint64_t length = 0;
    if (!readAgreeingNames(fd, fileSize, start, candidates.expected, names, length)) continue;
    walk.length = length;
    if (length > size) continue;
    walk.added = true;
    scan.directories.push_back(std::move(names));
    return;
  }
}

}  // namespace

DirectoryScan scanCentralDirectories(const platform::File& fd, std::uint64_t fileSize,
                                     const std::vector<std::string>& expectedNames) {
  DirectoryScan scan;
  Candidates candidates{expectedNames, {}};
  const std::uint64_t tailSize = std::min(fileSize, kEndRecordSize + kMaxCommentSize);
  const std::uint64_t tailOffset = fileSize - tailSize;
  std::string tail;
  if (!readAt(fd, tailOffset, tailSize, tail)) return scan;
  for (std::size_t position = tail.size() >= 4 ? tail.size() - 4 : 0; tail.size() >= 4; --position) {
    if (tail.compare(position, 4, "PK\x05\x06") == 0) {
      scan.endRecordFound = true;
      if (tail.size() - position >= kEndRecordSize)
        addDirectory(fd, fileSize, tail, tailOffset, position, candidates, scan);
    }
    if (position == 0) break;
  }
  return scan;
}

}  // namespace kv::archive
