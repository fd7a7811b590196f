#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::platform {

// Plain file operations of the launcher's core: open files, creation that
// never follows a symbolic link (or any other reparse point), atomic
// renames, durable writes. One implementation per operating system is
// chosen at link time. Any thread may use them; an open File or Folder
// belongs to one thread at a time. None of them throws.

// What stands at a path. A symbolic link is reported as Link and never
// followed.
enum class PathKind { Missing, File, Folder, Link, Other, Unknown };

// The kind of what stands at path, without following a link at its last
// component. Unknown when it cannot be determined (no permission, I/O).
PathKind pathKind(const std::string& path);

// Whether path (following links) is a regular file.
bool isRegularFile(const std::string& path);

// The size of the regular file at path (following links), read from its
// metadata; nothing for anything else or when it cannot be asked.
std::optional<std::uint64_t> regularFileSizeAt(const std::string& path);

// Whether path (following links) is a folder.
bool isFolder(const std::string& path);

// The absolute form of path, made against the current folder, without "."
// and ".." parts or a trailing separator; links are not resolved. Empty
// for an empty path or when the current folder cannot be asked.
std::string absolutePath(const std::string& path);

// path as the system's own programs show it to people: with the system's
// separator (C:\users\me\vandrel on Windows, unchanged elsewhere).
// Only for showing; the launcher keeps using path itself.
std::string displayPath(const std::string& path);

// The last name in path once "." and ".." parts are resolved in the text
// alone, a trailing separator ignored: "b" for "a/b/", "a" for "a/b/..".
// Empty for a root.
std::string finalName(const std::string& path);

// Whether path leads, with every link on the way resolved, to a root
// folder, or to folder or a folder above it. Folders are compared by
// identity, so the same folder under another name (a second link, a bind
// mount) counts. False when path leads nowhere, and, but for a root, when
// folder is empty or cannot be resolved.
bool leadsToFolderOrAbove(const std::string& path, const std::string& folder);

// The bytes free for the launcher on the disk that holds path; nothing
// when the system cannot tell.
std::optional<std::uint64_t> freeSpaceAt(const std::string& path);

// The kind of what path leads to, following links: never Link; Missing also
// for a link that leads nowhere.
PathKind targetKind(const std::string& path);

// The system's description of the last failed operation of this thread.
std::string lastErrorText();

// An open file, closed when destroyed. Move-only.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Whether the file is open.
  bool ok() const { return handle_ != kNone; }

  // Writes all size bytes at the current position (or at the end when
  // opened for appending). False on a write failure (disk full, I/O).
  [[nodiscard]] bool write(const char* data, std::size_t size);

  // Writes all size bytes at offset without moving a shared position (a
  // file opened for appending still appends on Linux: open it otherwise).
  // False on a write failure (disk full, I/O).
  [[nodiscard]] bool writeAt(std::uint64_t offset, const char* data, std::size_t size);

  // Reads up to size bytes at offset without moving a shared position, so
  // several readers of one file do not disturb each other. The count read
  // (0 at the end), or -1 on a read failure.
  std::int64_t readAt(std::uint64_t offset, char* out, std::size_t size) const;

  // The size of the file when it is a regular file; nothing for anything
  // else (a folder, a pipe, a device) or when it cannot be asked.
  std::optional<std::uint64_t> regularFileSize() const;

  // Forces the written bytes to the disk. False when the system reports a
  // failure.
  [[nodiscard]] bool flush();

  // Closes the file. False when closing reports a write failure.
  [[nodiscard]] bool close();

  // The native handle value (a descriptor or a Windows handle); for the
  // platform's own implementation only.
  std::intptr_t native() const { return handle_; }
  static File adopt(std::intptr_t handle);

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

// Opens an existing file for reading. A pipe or device at path never makes
// the call wait. Check regularFileSize() before trusting it as a file.
File openForReading(const std::string& path);

// The whole content of the regular file at path, read without waiting on a
// pipe or device in its place; nothing when it is not a regular file, is
// larger than maxBytes (checked before anything is read) or cannot be read.
// Never reads more than the size checked, even if the file grows meanwhile.
std::optional<std::string> readRegularFile(const std::string& path, std::uint64_t maxBytes);

// How openForWriting treats what is already in the file.
enum class WriteMode {
  Truncate,  // cut it to nothing first
  Append,    // keep it; every write lands at the end, also when several
             // processes write to it at once
};

// What openForWriting does with a link at path's last component.
enum class FinalLink {
  Refuse,  // the open fails: nothing is written through a link
  Follow,  // the file the link leads to is opened
};

// Opens the regular file at path for writing, creating it when missing.
// Anything but a regular file is refused (a pipe never makes the call
// wait), and so is a link at path's last component unless link says Follow.
File openForWriting(const std::string& path, WriteMode mode, FinalLink link = FinalLink::Refuse);

// How lockExclusively ended.
enum class LockOutcome {
  Taken,  // the lock is held as long as the returned file stays open
  Busy,   // another open file (of this or another process) holds it
  Failed, // the file could not be opened or locked; lastErrorText says why
};

// Takes the exclusive advisory lock of the regular file at path (created
// when missing, never through a link) without waiting. The system releases
// the lock when the file is closed or the process ends, however it ends.
File lockExclusively(const std::string& path, LockOutcome& outcome);

// Creates a new file with a unique name beside path (same folder, name
// starting with path's name) for writing, readable by everyone and writable
// by the owner; temporaryPath receives its path. Not open on failure.
File createTemporaryBeside(const std::string& path, std::string& temporaryPath);

// Renames from to to, replacing a file (or link) at to in one step. False
// when nothing changed.
[[nodiscard]] bool renameReplacing(const std::string& from, const std::string& to);

// Gives the open file the permission bits of the file at model (following
// links) where the system keeps such bits; Windows files take their folder's
// access rules instead. True when nothing stands at model.
[[nodiscard]] bool matchPermissions(File& file, const std::string& model);

// Where a link at path's last component leads, followed through a chain of
// links (a relative target counts from the link's folder); path itself when
// no link stands there or the link cannot be read. The answer may name a
// file that does not exist yet.
std::string linkTargetPath(const std::string& path);

// Whether a replaced file is flushed to the disk before it takes the old
// one's place.
enum class FileSync {
  Flush,    // survives a power loss as the old or the new file
  NoFlush,  // survives the process being killed; cheaper for frequent writes
};

// Whether name (a file name without folder) has the form of a temporary
// file that a replacement of the file named leaf makes beside it: leaf, a
// dot, and the suffix createTemporaryBeside makes (six ASCII letters,
// digits or underscores; on Windows two hex numbers joined by '_'), so that a file of the
// same stem with a word after it ("manifest.json.minisig") is never taken
// for one. Every replacement of leaf removes the files of that form it
// finds beside it.
[[nodiscard]] bool isTemporaryNameOf(std::string_view name, std::string_view leaf);

// Replaces the file at path with content: writes a temporary file in the
// same folder, flushes it to disk (unless told not to), renames it over path
// and flushes the folder. A reader finds the old or the new complete file,
// never a torn one. Temporary files that earlier replacements of path left
// beside it when they were cut off (by a kill or a power loss) are removed
// first. The new file keeps the old one's permissions (see
// matchPermissions). A link at path is replaced, not followed (see
// linkTargetPath).
// False when any step failed; the temporary file is then removed and the old
// file stays. reason (when given) receives the system's text.
[[nodiscard]] bool replaceFileAtomically(const std::string& path, std::string_view content,
                                         std::string* reason = nullptr, FileSync sync = FileSync::Flush);

// Removes the file or link at path itself (never a folder). False when it
// is still there or never was.
[[nodiscard]] bool removeFile(const std::string& path);

// Renames from to to; fails (false) when anything stands at to, also an
// empty folder, or when the system cannot rename without replacing.
[[nodiscard]] bool renameNoReplace(const std::string& from, const std::string& to);

// What exchangePaths did.
enum class ExchangeOutcome { Exchanged, Unsupported, Failed };

// Swaps the two existing paths a and b in one step, so that a reader finds
// either the old or the new one at each name, never none. Unsupported when
// the system or the file system cannot swap (nothing changed then).
ExchangeOutcome exchangePaths(const std::string& a, const std::string& b);

// Creates the folder at path and every missing folder above it. True when
// a folder (or a link to one) stands at path afterwards.
[[nodiscard]] bool makeFolders(const std::string& path);

// Makes a finished rename inside the folder of path durable where the
// system needs that; failures are ignored.
void flushFolderOf(const std::string& path);

// An open folder below which files are created without following links.
// Move-only.
class Folder {
 public:
  Folder() = default;
  ~Folder();
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  bool ok() const { return handle_ != kNone; }
  std::intptr_t native() const { return handle_; }
  // The folder's path as it was opened.
  const std::string& path() const { return path_; }
  static Folder adopt(std::intptr_t handle, std::string path);

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
  std::string path_;
};

// Opens the folder at path (a link to a folder is followed).
Folder openFolder(const std::string& path);

// Opens the folder name inside parent; a link there is not followed (the
// open fails).
Folder openFolderIn(const Folder& parent, const std::string& name);

// What a creation did.
enum class CreateOutcome { Created, Exists, Failed };

// Creates the folder at path (its parent must exist). Exists when anything,
// also a file, stands there.
CreateOutcome makeFolder(const std::string& path);

// Creates the new regular file name inside folder for writing; fails with
// Exists when anything stands there (a link is never followed). An
// executable file gets execute permission where the system has it.
CreateOutcome createFileIn(const Folder& folder, const std::string& name, bool executable, File& file);

// Opens the regular file name inside folder for reading; a link there is
// not followed and anything but a regular file is refused (not open).
File openForReadingIn(const Folder& folder, const std::string& name);

// Opens the file name inside folder for writing, creating it or cutting it
// to nothing; a link there is not followed (the open fails).
File createOrTruncateIn(const Folder& folder, const std::string& name);

// Creates the folder name inside folder. Exists when anything stands there.
CreateOutcome makeFolderIn(const Folder& folder, const std::string& name);

// Removes the empty folder name inside folder; never a link or a file.
bool removeFolderIn(const Folder& folder, const std::string& name);

// Removes the folder name inside folder with everything below it,
// permanently and without asking. Links below it are removed as links,
// never followed; a link (or anything but a folder) at name is left alone
// and gives false. Entries that cannot be removed stay. True when nothing
// is left at name.
bool removeFolderTreeIn(const Folder& folder, const std::string& name);

// The names inside folder without "." and "..", sorted bytewise. False when
// the folder could not be read to its end (names holds what was read).
bool listNames(const Folder& folder, std::vector<std::string>& names);

// The kind of name inside folder, without following a link.
PathKind pathKindIn(const Folder& folder, const std::string& name);

// Removes the file or link name inside folder (never a folder). True when
// it is gone, also when it was gone already.
bool removeFileIn(const Folder& folder, const std::string& name);

// Failures on demand, so that tests reach the callers' error paths without
// privileges or a full disk.

// The operations a FileFaults object is asked about.
enum class FileOperation {
  Open,      // opening an existing file or folder for reading
  Create,    // opening a file for writing, creating a file or a folder
  Write,     // File::write
  Flush,     // File::flush
  Close,     // File::close
  Rename,    // renameReplacing, renameNoReplace
  Exchange,  // exchangePaths
  Remove,    // removing a file, a link or a folder
};

// How an injected failure shows in lastErrorText().
enum class FileFault {
  None,      // no failure: the operation goes ahead
  Denied,    // the system refused it ("Operation not permitted")
  DiskFull,  // no space is left on the device
  IoError,   // the device failed
};

// Decides, before each file operation of the process, whether it fails.
class FileFaults {
 public:
  virtual ~FileFaults() = default;
  // Asked on the thread doing operation, before anything changes. path is
  // the path operated on (empty for Write, Flush and Close), target the new
  // path of a rename or the other path of an exchange (empty otherwise).
  // Anything but None makes the operation fail as the system would, without
  // touching the disk.
  virtual FileFault before(FileOperation operation, const std::string& path, const std::string& target) = 0;
  // The free space freeSpaceAt(path) answers instead of the system's;
  // nothing lets the system answer.
  virtual std::optional<std::uint64_t> freeSpace(const std::string& path) {
    (void)path;
    return std::nullopt;
  }
};

// Installs faults for every thread of the process and returns those
// installed before; nullptr (the start) lets every operation through. For
// tests: faults must stay alive while installed.
FileFaults* installFileFaults(FileFaults* faults);

// What the installed faults answer for an operation; None without them.
// For the implementations of the file operations.
FileFault injectedFileFault(FileOperation operation, const std::string& path, const std::string& target = {});

// What the installed faults answer for the free space at path; nothing
// without them. For the implementations of freeSpaceAt.
std::optional<std::uint64_t> injectedFreeSpace(const std::string& path);

}  // namespace kv::platform
