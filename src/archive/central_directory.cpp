#include "archive/central_directory.h"

#include <algorithm>
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

// The names of the count records of the directory at offset, or nothing
// when the records do not parse inside the file.
bool readNames(const platform::File& fd, std::uint64_t fileSize, std::uint64_t offset, std::uint64_t size, std::uint64_t count,
               std::vector<std::string>& names) {
  if (offset > fileSize || size > fileSize - offset || count > size / kDirectoryRecordSize) return false;
  std::string directory;
  if (!readAt(fd, offset, size, directory)) return false;
  names.clear();
  names.reserve(static_cast<std::size_t>(count));  // at most size / 46, which was read
  std::size_t position = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (directory.size() - position < kDirectoryRecordSize ||
        directory.compare(position, 4, "PK\x01\x02") != 0) {
      return false;
    }
    const auto nameLength = readLittleEndian(directory, position + 28, 2);
    const auto extraLength = readLittleEndian(directory, position + 30, 2);
    const auto commentLength = readLittleEndian(directory, position + 32, 2);
    const auto recordLength = static_cast<std::size_t>(kDirectoryRecordSize + nameLength + extraLength + commentLength);
    if (directory.size() - position < recordLength) return false;
    names.push_back(directory.substr(position + kDirectoryRecordSize, static_cast<std::size_t>(nameLength)));
    position += recordLength;
  }
  return true;
}

// Where a central directory lies and how many records it holds.
struct Location {
  std::uint64_t offset;
  std::uint64_t size;
  std::uint64_t count;
  bool operator==(const Location&) const = default;
};

// A comment full of end-record signatures must not make the scan read the
// same large directory again and again.
constexpr std::size_t kMaxDirectories = 8;

// Adds the directory that the end record at endOffset (inside tail, which
// starts at tailOffset) describes, trying the recorded position and the
// position right before the end records (data prepended to the archive).
void addDirectory(const platform::File& fd, std::uint64_t fileSize, std::string_view tail, std::uint64_t tailOffset,
                  std::size_t endOffset, std::vector<Location>& tried, DirectoryScan& scan) {
  std::uint64_t count = readLittleEndian(tail, endOffset + 10, 2);
  std::uint64_t size = readLittleEndian(tail, endOffset + 12, 4);
  std::uint64_t offset = readLittleEndian(tail, endOffset + 16, 4);
  std::uint64_t recordsStart = tailOffset + endOffset;
  if ((count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) && recordsStart >= kLocatorSize) {
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
  for (const std::uint64_t start : {offset, size <= recordsStart ? recordsStart - size : offset}) {
    const Location location{start, size, count};
    if (std::find(tried.begin(), tried.end(), location) != tried.end()) continue;
    if (tried.size() >= kMaxDirectories) return;
    tried.push_back(location);
    std::vector<std::string> names;
    if (readNames(fd, fileSize, start, size, count, names)) {
      scan.directories.push_back(std::move(names));
      return;
    }
  }
}

}  // namespace

DirectoryScan scanCentralDirectories(const platform::File& fd, std::uint64_t fileSize) {
  DirectoryScan scan;
  const std::uint64_t tailSize = std::min(fileSize, kEndRecordSize + kMaxCommentSize);
  const std::uint64_t tailOffset = fileSize - tailSize;
  std::string tail;
  std::vector<Location> tried;
  if (!readAt(fd, tailOffset, tailSize, tail)) return scan;
  for (std::size_t position = tail.size() >= 4 ? tail.size() - 4 : 0; tail.size() >= 4; --position) {
    if (tail.compare(position, 4, "PK\x05\x06") == 0) {
      scan.endRecordFound = true;
      if (tail.size() - position >= kEndRecordSize) addDirectory(fd, fileSize, tail, tailOffset, position, tried, scan);
    }
    if (position == 0) break;
  }
  return scan;
}

}  // namespace kv::archive
