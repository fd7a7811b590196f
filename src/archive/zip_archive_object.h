#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct zip;
struct zip_source;

namespace kv::archive {

class DestinationFolder;

// A failure inside the archive code; what() is one of the texts of
// archive_texts.h (some followed by a path). Never leaves the two launcher
// operations of zip_archive.h.
class ZipError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the archive object holds: nothing, an archive opened for reading, or
// a new archive being written.
enum class ZipMode { None, Reading, Writing };

// One entry as the central directory lists it.
struct ZipEntryInfo {
  // Position in the central directory, 0 to count - 1. Entries are read by
  // this index, never looked up by name.
  std::uint64_t index = 0;
  // Stored name as UTF-8: kept as stored when it is flagged UTF-8 or is valid
  // UTF-8, read as code page 437 otherwise.
  std::string name;
  // The stored name byte for byte, up to a NUL byte if it holds one.
  std::string storedName;
  // Whether the stored name holds a NUL byte (both names above then end
  // there).
  bool nameHasNul = false;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint32_t crc = 0;
  // Modification time as seconds since 1970 (from the entry's local time).
  std::int64_t modified = 0;
  // The Unix mode (type and permission bits) when the entry was made on a
  // Unix-like system, otherwise nothing.
  std::optional<std::uint32_t> unixMode;
};

// Whether entry names a folder: its stored name ends in "/" (as the zip
// tools store the folders they pack).
[[nodiscard]] bool isFolderEntry(const ZipEntryInfo& entry);

// Whether entry may be written below a folder: its stored name and its
// UTF-8 name, without the final "/" of a folder entry, are both safe (see
// isSafeEntryName) and hold no NUL byte.
[[nodiscard]] bool hasSafeName(const ZipEntryInfo& entry);

// One ZIP archive, read from a file or written to one. Reading takes data
// from the file as entries are extracted (the file is never held in memory
// whole, nor is any entry); writing gathers the entries and builds the
// archive in memory when it is saved. One object per operation, used by one
// thread; every failure is a ZipError.
class ZipArchive {
 public:
  // An object in mode None.
  ZipArchive();
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // Drops whatever the object holds and opens the archive file at path for
  // reading (mode Reading). Fails with "bad zip" when the file cannot be
  // read, is empty or is not a sound archive, and with "didn't find end of
  // central directory signature" when a non-empty file holds no end record.
  void load(const std::string& path);

  // Every entry of the loaded archive in central-directory order; empty in
  // mode None. Fails with "bad zip" in mode Writing.
  [[nodiscard]] std::vector<ZipEntryInfo> listEntries();

  // The whole decompressed data of an entry of the loaded archive, read to
  // its end so that its CRC-32 is checked. For small entries; extractEntry
  // streams instead. Fails with "file couldn't be read".
  [[nodiscard]] std::string readEntry(const ZipEntryInfo& entry);

  // Writes an entry of the loaded archive to folder + "/" + its name in
  // pieces of bounded size, as a new file that replaces an existing file or
  // link (see DestinationFolder). Folders the entry lies in are created
  // below folder (which must exist); a folder entry only creates its folder.
  // Fails with "Failed to open file for writing: " + path (unsafe name,
  // missing destination, link on the way, file or special file where a
  // folder belongs, folder or special file in the way of a file, a folder
  // entry that holds data), "file couldn't be read" (corrupt data, CRC mismatch, more data
  // than the directory declares, unsupported method or encryption) or
  // "Failed to write to file: " + path. A file already opened stays, emptied
  // or partly written.
  void extractEntry(const ZipEntryInfo& entry, const std::string& folder);

  // Adds an entry called name holding bytes, deflated at level 9. Starts a
  // new archive first unless the mode is Writing. Fails with "write error"
  // when name is not safe (see isSafeEntryName) or not valid UTF-8, or the
  // library refuses the entry.
  void addEntry(const std::string& name, std::string bytes);

  // Like addEntry, with the content of the regular file at path, read when
  // the archive is saved so that memory does not grow with the file count.
  void addFile(const std::string& name, const std::string& path);

  // Builds the archive of the entries added since the last save or load (an
  // archive without entries is the 22-byte end record alone) and writes it to path through a temporary file in the same
  // folder that replaces path only when complete. Ends in mode None. Fails with "write error" when the archive cannot
  // be built (for example a file added with addFile cannot be read any more) and with "Failed to write to file: " +
  // path when the file cannot be written; path is then left as it was. A loaded archive is not written again: in mode
  // Reading save fails with "write error".
  void save(const std::string& path);

  ZipMode mode() const { return mode_; }
  // The comment of the loaded archive (empty otherwise).
  const std::string& comment() const { return comment_; }
  // The path last loaded or saved. Informational only.
  const std::string& fileName() const { return fileName_; }

 private:
  void close();
  void startWriting();
  void addSource(const std::string& name, zip_source* source);

  std::string comment_;
  std::string fileName_;
  ZipMode mode_ = ZipMode::None;
  zip* archive_ = nullptr;
  zip_source* image_ = nullptr;  // the in-memory image while writing
  std::vector<char> buffer_;     // the piece buffer of extraction
  std::unique_ptr<DestinationFolder> destination_;  // the folder of the last extractEntry
  std::vector<bool> nulNames_;   // per entry of the loaded archive: stored name holds a NUL
};

}  // namespace kv::archive
