#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/zip_archive_object.h"

namespace kv::platform {
class Window;
}

namespace kv::archive {

// One ZIP file opened once for one use: its entries can be weighed before
// anything is written, and are then extracted from the same open file, so
// that the archive is read and parsed one time. The file stays open as long
// as the object. One thread. Never throws.
class ArchiveToExtract {
 public:
  // Opens the ZIP file at archivePath and lists its entries.
  explicit ArchiveToExtract(const std::string& archivePath);
  ~ArchiveToExtract();
  ArchiveToExtract(const ArchiveToExtract&) = delete;
  ArchiveToExtract& operator=(const ArchiveToExtract&) = delete;

  // Whether the file opened as a ZIP archive and its entries are listed.
  bool readable() const { return readable_; }
  // Why it is not readable (one of the texts of archive_texts.h); empty
  // when it is.
  const std::string& failure() const { return failure_; }
  // The entries in central-directory order; none when not readable.
  const std::vector<ZipEntryInfo>& entries() const { return entries_; }

  // Answers whether an entry is unpacked; those it refuses are neither
  // written nor counted for the disk space (their names are still checked).
  using EntryFilter = std::function<bool(const ZipEntryInfo&)>;

  // The bytes extracting the entries unpack accepts into destination adds
  // to its disk: their declared sizes, less the files they replace.
  std::uint64_t bytesToAdd(const std::string& destination, const EntryFilter& unpack = {}) const;

  // What extractZipArchive does, on this archive, for the entries unpack
  // (when given) accepts.
  [[nodiscard]] bool extractTo(const std::string& destination, platform::Window* window,
                               const EntryFilter& unpack = {});

 private:
  std::unique_ptr<ZipArchive> archive_;
  std::vector<ZipEntryInfo> entries_;
  std::string failure_;
  bool readable_ = false;
};

// Unpacks every entry of the ZIP file at archivePath into the existing folder
// destination, in central-directory order, each entry streamed to its file
// in bounded pieces (a later entry of the same name wins). Creates the
// folders the entries need below destination: a folder entry ("sub/")
// becomes a folder, and a file's folders are made when missing; a file or
// special file where a folder belongs fails. Nothing is written when an
// entry name could lead outside the destination or is not a plain file name
// (see isSafeEntryName, also for the name of a folder entry), or when
// the declared content does not fit on the destination's disk. Never creates
// or writes through a symbolic link: an existing file or link at an entry's
// place is replaced by a new regular file. An entry made on a Unix-like
// system with its owner-executable bit set becomes executable. The first
// failure ends the work (files already written stay), asks window (may be
// null) to repaint, and answers false. Any thread.
[[nodiscard]] bool extractZipArchive(const std::string& archivePath, const std::string& destination,
                                     platform::Window* window);

// Packs every regular file under sourceFolder into a new ZIP file at
// archivePath (names relative to the folder, joined with '/', UTF-8, deflated
// at level 9); symbolic links are neither followed nor stored and folders
// are not stored. The archive replaces archivePath only once it is complete.
// On failure (missing or unreadable folder or file, a name that is not valid
// UTF-8 or not a plain file name, the archive cannot be written) writes one
// line "Error while zipping: " + reason to standard error, leaves
// archivePath as it was, and answers false. Any thread.
[[nodiscard]] bool createZipArchive(const std::string& sourceFolder, const std::string& archivePath);

}  // namespace kv::archive
