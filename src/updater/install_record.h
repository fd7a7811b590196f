#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/zip_archive_object.h"
#include "platform/file_system.h"
#include "updater/manifest.h"

namespace kv::updater {

// --- The journal of the local manifest ---

// Notes, beside the local manifest, what happens to installed files between
// two writes of it, so that a run killed in between never leaves the
// manifest claiming an older hash for a file that holds newer bytes. Each
// note is one line appended to "update.journal" (not flushed: it survives
// a kill, and a power loss loses the notes and the renames alike). One
// thread.
class ManifestJournal {
 public:
  explicit ManifestJournal(std::string serverDir);

  // Before the file at path is replaced: until it is noted installed, its
  // state is unknown and a replay forgets it.
  [[nodiscard]] bool replacing(const std::string& path);
  // Once the file (and what an archive unpacks) is in place.
  [[nodiscard]] bool installed(const ManifestEntry& entry);
  // Lets go of the journal file, which a write of the local manifest
  // removes; the next note starts a new one.
  void close() { file_ = platform::File(); }

 private:
  bool append(const std::string& line);

  std::string path_;
  platform::File file_;
};

// Applies the notes of serverDir's journal, in order, to local: a file
// being replaced is forgotten, an installed one recorded (with its index, when
// the note names a well-formed one). Lines that are not
// a well-formed note (a path the manifest rules refuse among them) are
// skipped. A missing journal changes nothing.
void replayManifestJournal(const std::string& serverDir, ManifestMap& local);

// Whether serverDir has a journal whose notes the local manifest lacks.
[[nodiscard]] bool hasManifestJournal(const std::string& serverDir);

// Removes serverDir's journal (once the local manifest holds its notes).
void removeManifestJournal(const std::string& serverDir);

// --- The record of unpacked files ---

// A file an archive unpacked: its path below the server folder, its size and
// the CRC-32 the archive lists for it, and the manifest path of the archive.
struct UnpackedFile {
  std::string path;
  std::int64_t size = 0;
  std::uint32_t crc32 = 0;
  std::string archive;
};
using UnpackedFiles = std::map<std::string, UnpackedFile>;

// Reads serverDir's "unpacked.json". A missing record is an empty one
// (installations made before it existed get one with their next
// extraction). False when the record is not well formed; files is then
// empty.
[[nodiscard]] bool readUnpackedRecord(const std::string& serverDir, UnpackedFiles& files);

// Replaces serverDir's "unpacked.json" with files, atomically.
[[nodiscard]] bool writeUnpackedRecord(const std::string& serverDir, const UnpackedFiles& files);

// Replaces in files what the archive at manifest path archive unpacked
// before with the file entries it unpacked now (landing below
// archiveFolderOf(archive)).
void recordUnpacked(UnpackedFiles& files, const std::string& archive,
                    const std::vector<archive::ZipEntryInfo>& unpacked);

// The form in which an unpacked file's CRC-32 is handed to content checks
// as a manifest entry's hash: "crc32:" and 8 lower-case hex digits.
[[nodiscard]] std::string crc32HashText(std::uint32_t crc32);
// The CRC-32 of hash when it has that form.
[[nodiscard]] std::optional<std::uint32_t> crc32OfHashText(const std::string& hash);

}  // namespace kv::updater
