#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::settings {

// Folder helpers of the configuration actions (placement, export, import,
// reset). None of them follows a symbolic link below the folder it was
// given: links are skipped when copying and removed as links when deleting,
// so no operation reads, writes or deletes anything outside its folder.
// Main thread; no operation throws.

// Whether anything (also a dangling symbolic link) exists at path.
bool pathExists(const std::string& path);

// Whether path is a folder itself, not a symbolic link to one.
bool isRealFolder(const std::string& path);

// Creates the first free folder of stem, stem + "_1", stem + "_2", ... inside
// base (one level) and answers its path. Names taken by anything, also by a
// file, are passed over. Nothing when no folder could be created within
// a bounded number of candidates or base cannot hold folders.
std::optional<std::string> createNumberedFolder(const std::string& base, const std::string& stem);

// The first of stem, stem + "_1", stem + "_2", ... inside base at which
// nothing exists, or nothing within a bounded number of candidates.
std::optional<std::string> freeNumberedName(const std::string& base, const std::string& stem);

// Copies everything inside the folder from into the existing folder to:
// folders recursively, regular files byte for byte, overwriting regular
// files of the same name. Symbolic links and special files (pipes,
// devices, sockets) are skipped. Stops at the first failure and answers
// false with the system's description of the error in reason.
[[nodiscard]] bool copyFolderContent(const std::string& from, const std::string& to,
                                     std::string& reason);

// How copyFileBelow treats a file that exists at the destination.
enum class ExistingFile { Keep, Overwrite };

// What copyFileBelow did.
enum class CopyResult { Copied, KeptExisting, Failed };

// Copies the regular file source to root + "/" + relative (relative uses
// '/' and names no "." or ".." parts), creating the missing folders between.
// A symbolic link on the way or at the destination is never followed: the
// copy then fails.
CopyResult copyFileBelow(const std::string& source, const std::string& root,
                         const std::string& relative, ExistingFile existing);

// Replaces the file at target with a copy of the regular file source: the
// copy is written beside target and renamed over it, so a symbolic link at
// target is replaced, never written through. False when nothing changed.
[[nodiscard]] bool replaceFileWithCopy(const std::string& source, const std::string& target);

// Removes path: a folder with all its content, or a file or symbolic link
// itself. Links inside are removed as links. True when nothing is left.
bool removeTree(const std::string& path);

// Removes every entry inside folder; the folder itself stays, also when it
// is a symbolic link to a folder. True when the folder is empty afterwards.
bool removeFolderContent(const std::string& folder);

// Renames from to to; fails (false) when anything exists at to, also an
// empty folder.
[[nodiscard]] bool renameNoReplace(const std::string& from, const std::string& to);

// Writes content to path, creating or truncating the file; a symbolic link
// at path is not followed (the write then fails).
[[nodiscard]] bool writeFileNoFollow(const std::string& path, const std::string& content);

// The path of every regular file below folder, relative to it and joined
// with '/', in name order, with a folder's files before its sub-folders'
// (breadth first). Symbolic links are not followed.
std::vector<std::string> listRegularFiles(const std::string& folder);

// Number of entries and bytes of regular files below folder, for limits.
struct TreeSize {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
};
TreeSize measureTree(const std::string& folder);

// Size of the regular file at path, or nothing when it is not one.
std::optional<std::uint64_t> regularFileSize(const std::string& path);

}  // namespace kv::settings
