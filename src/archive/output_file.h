#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace kv::archive {

// Whether an entry with this Unix mode (none for entries made elsewhere) is
// written as an executable file: a regular file whose owner may execute it.
// Links and other types never are; setuid, setgid and sticky bits are never
// set on extracted files.
[[nodiscard]] bool isExecutableMode(std::optional<std::uint32_t> unixMode);

// A new regular file being written. Owned by one thread.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all size bytes. Answers false on a write failure (disk full, I/O).
  [[nodiscard]] bool write(const char* data, std::size_t size);

  // Closes the file. Answers false when closing reports a write failure.
  [[nodiscard]] bool finish();

 private:
  friend class DestinationFolder;
  platform::File file_;
};

// The folder that an archive is extracted into. Files and folders are
// created below it without following any symbolic link: a file, link or
// second hard link already standing at a file's place is removed and a new
// regular file made (so nothing is ever written through it); a missing
// folder on the way is created; a link, file or special file where a folder
// belongs, or a folder or special file at the file's place make creation
// fail. Keeps the folders it
// opened, so an archive with many entries per folder opens each folder once.
// Owned by one thread.
class DestinationFolder {
 public:
  explicit DestinationFolder(std::string path);
  ~DestinationFolder();
  DestinationFolder(const DestinationFolder&) = delete;
  DestinationFolder& operator=(const DestinationFolder&) = delete;

  const std::string& path() const { return path_; }

  // Creates path() + "/" + relativeName (segments joined by "/", already
  // checked with isSafeEntryName) as a new, empty regular file with the
  // usual permissions, executable ones when asked, creating its missing
  // folders. Answers false when the file cannot be created as described
  // above.
  [[nodiscard]] bool create(const std::string& relativeName, bool executable, OutputFile& file);

  // Makes sure the folder path() + "/" + relativeFolder (checked as above)
  // exists, creating it and its missing parents. False when it cannot be
  // made, or something else than a folder stands on the way.
  [[nodiscard]] bool makeFolder(const std::string& relativeFolder);

 private:
  const platform::Folder* folder(const std::string& relativeFolder);

  std::string path_;
  std::map<std::string, platform::Folder> folders_;  // relative folder ("" = the root) -> open folder
};

}  // namespace kv::archive
