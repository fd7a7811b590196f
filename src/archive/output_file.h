#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kv::archive {

// A regular file inside a destination folder, opened for writing an entry's
// data. Opening never creates a folder and never follows a symbolic link: a
// link (or a second hard link) already standing at the file's place is
// replaced by a new regular file, so nothing is written through it; a link
// on the way to the file, a missing folder, a folder or any other special
// file at the file's place make opening fail. Owned by one thread.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens folder + "/" + relativeName (segments joined by "/", already
  // checked with isSafeEntryName), created or emptied. Answers false when the
  // file cannot be opened as described above.
  [[nodiscard]] bool open(const std::string& folder, const std::string& relativeName);

  // Writes all size bytes. Answers false on a write failure (disk full, I/O).
  [[nodiscard]] bool write(const char* data, std::size_t size);

  // Sets the permission bits from the entry's Unix mode when it has one
  // (an executable regular file becomes executable wherever it is readable;
  // setuid, setgid and sticky bits are always cleared) and closes the file.
  // Answers false when closing reports a write failure.
  [[nodiscard]] bool finish(std::optional<std::uint32_t> unixMode);

 private:
  void reset();
  int fd_ = -1;
};

}  // namespace kv::archive
