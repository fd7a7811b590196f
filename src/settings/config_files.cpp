#include "settings/config_files.h"

#include <deque>
#include <system_error>
#include <utility>

#include "base/path_text.h"
#include "platform/file_system.h"

namespace kv::settings {
namespace {

using platform::CreateOutcome;
using platform::File;
using platform::Folder;
using platform::PathKind;

// Folders nested deeper than this are not copied or listed; a configuration
// folder is a handful of levels deep.
constexpr int kMaxDepth = 64;
// Candidates tried for a numbered temporary folder.
constexpr int kMaxNumberedCandidates = 10000;

std::string systemError() { return platform::lastErrorText(); }

// The folder part and the last name of a path ("." when it has no folder).
std::pair<std::string, std::string> splitParent(const std::string& path) {
  return {folderOf(path), fileNamePart(path)};
}

// Opens a folder; the last component may not be a symbolic link unless
// followLast.
Folder openFolder(const std::string& path, bool followLast) {
  if (followLast) return platform::openFolder(path);
  const auto [parent, name] = splitParent(path);
  if (name.empty() || name == "." || name == "..") return platform::openFolder(path);
  return platform::openFolderIn(platform::openFolder(parent), name);
}

// Copies the open regular file in to the open file out. False on a read or
// write error.
bool copyBytes(const File& in, File& out) {
  std::string buffer(64 * 1024, '\0');
  std::uint64_t offset = 0;
  for (;;) {
    const std::int64_t got = in.readAt(offset, buffer.data(), buffer.size());
    if (got < 0) return false;
    if (got == 0) return true;
    if (!out.write(buffer.data(), static_cast<std::size_t>(got))) return false;
    offset += static_cast<std::uint64_t>(got);
  }
}

// Copies parent/name (a regular file) to targetParent/targetName, creating
// or truncating the target; a link at the target is not followed.
bool copyFileAt(const Folder& sourceParent, const std::string& name, const Folder& targetParent,
                const std::string& targetName, std::string& reason) {
  const File in = platform::openForReadingIn(sourceParent, name);
  if (!in.ok()) {
    reason = systemError();
    return false;
  }
  File out = platform::createOrTruncateIn(targetParent, targetName);
  if (!out.ok() || !copyBytes(in, out)) {
    reason = systemError();
    return false;
  }
  if (!out.close()) {
    reason = systemError();
    return false;
  }
  return true;
}

bool copyFolderContentOf(const Folder& from, const Folder& to, int depth, std::string& reason) {
  if (depth > kMaxDepth) {
    reason = "Too many levels of symbolic links";
    return false;
  }
  std::vector<std::string> names;
  if (!platform::listNames(from, names)) {
    reason = systemError();
    return false;
  }
  for (const std::string& name : names) {
    const PathKind kind = platform::pathKindIn(from, name);
    if (kind == PathKind::Unknown || kind == PathKind::Missing) {
      reason = systemError();
      return false;
    }
    if (kind == PathKind::Folder) {
      if (platform::makeFolderIn(to, name) == CreateOutcome::Failed) {
        reason = systemError();
        return false;
      }
      const Folder source = platform::openFolderIn(from, name);
      const Folder target = platform::openFolderIn(to, name);
      if (!source.ok() || !target.ok()) {
        reason = systemError();
        return false;
      }
      if (!copyFolderContentOf(source, target, depth + 1, reason)) return false;
    } else if (kind == PathKind::File) {
      if (!copyFileAt(from, name, to, name, reason)) return false;
    }
    // Symbolic links, pipes, sockets and devices are not copied.
  }
  return true;
}

// Removes everything inside the open folder. True when it is empty after.
// Removes every entry of folder; folders go with everything below them.
bool removeContentOf(const Folder& folder) {
  std::vector<std::string> names;
  bool complete = platform::listNames(folder, names);
  for (const std::string& name : names) {
    const PathKind kind = platform::pathKindIn(folder, name);
    if (kind == PathKind::Missing) continue;
    const bool removed = kind == PathKind::Folder    ? platform::removeFolderTreeIn(folder, name)
                         : kind == PathKind::Unknown ? false
                                                     : platform::removeFileIn(folder, name);
    if (!removed) complete = false;
  }
  return complete;
}

std::vector<std::string> splitRelative(const std::string& relative) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    parts.push_back(relative.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The size of the regular file name inside folder; 0 for anything else.
std::uint64_t regularSizeIn(const Folder& folder, const std::string& name) {
  const File file = platform::openForReadingIn(folder, name);
  return file.ok() ? file.regularFileSize().value_or(0) : 0;
}

bool measureFolder(const Folder& folder, int depth, TreeSize& size) {
  if (depth > kMaxDepth) return false;
  std::vector<std::string> names;
  platform::listNames(folder, names);
  for (const std::string& name : names) {
    ++size.entries;
    const PathKind kind = platform::pathKindIn(folder, name);
    if (kind == PathKind::File) {
      size.bytes += regularSizeIn(folder, name);
    } else if (kind == PathKind::Folder) {
      const Folder child = platform::openFolderIn(folder, name);
      if (child.ok()) measureFolder(child, depth + 1, size);
    }
  }
  return true;
}

}  // namespace

bool pathExists(const std::string& path) {
  const PathKind kind = platform::pathKind(path);
  return kind != PathKind::Missing && kind != PathKind::Unknown;
}

bool isRealFolder(const std::string& path) { return platform::pathKind(path) == PathKind::Folder; }

std::optional<std::string> createNumberedFolder(const std::string& base, const std::string& stem) {
  for (int number = 0; number < kMaxNumberedCandidates; ++number) {
    const std::string name = number == 0 ? stem : stem + "_" + std::to_string(number);
    const std::string path = joinPath(base, name);
    if (pathExists(path)) continue;
    const CreateOutcome made = platform::makeFolder(path);
    if (made == CreateOutcome::Created) return path;
    if (made == CreateOutcome::Failed) return std::nullopt;  // the base itself is the problem
  }
  return std::nullopt;
}

std::optional<std::string> freeNumberedName(const std::string& base, const std::string& stem) {
  for (int number = 0; number < kMaxNumberedCandidates; ++number) {
    const std::string name = number == 0 ? stem : stem + "_" + std::to_string(number);
    const std::string path = joinPath(base, name);
    if (!pathExists(path)) return path;
  }
  return std::nullopt;
}

bool copyFolderContent(const std::string& from, const std::string& to, std::string& reason) {
  const Folder source = openFolder(from, true);
  if (!source.ok()) {
    reason = systemError();
    return false;
  }
  const Folder target = openFolder(to, true);
  if (!target.ok()) {
    reason = systemError();
    return false;
  }
  return copyFolderContentOf(source, target, 0, reason);
}

CopyResult copyFileBelow(const std::string& source, const std::string& root,
                         const std::string& relative, ExistingFile existing) {
  const std::vector<std::string> parts = splitRelative(relative);
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") return CopyResult::Failed;
  }
  Folder folder = openFolder(root, true);
  if (!folder.ok()) return CopyResult::Failed;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    if (platform::makeFolderIn(folder, parts[i]) == CreateOutcome::Failed) return CopyResult::Failed;
    Folder next = platform::openFolderIn(folder, parts[i]);
    if (!next.ok()) return CopyResult::Failed;
    folder = std::move(next);
  }
  const std::string& last = parts.back();
  if (existing == ExistingFile::Keep) {
    const PathKind kind = platform::pathKindIn(folder, last);
    if (kind != PathKind::Missing && kind != PathKind::Unknown) return CopyResult::KeptExisting;
  }
  const auto [sourceParent, sourceName] = splitParent(source);
  const Folder sourceFolder = openFolder(sourceParent, true);
  if (!sourceFolder.ok()) return CopyResult::Failed;
  std::string reason;
  return copyFileAt(sourceFolder, sourceName, folder, last, reason) ? CopyResult::Copied
                                                                    : CopyResult::Failed;
}

bool replaceFileWithCopy(const std::string& source, const std::string& target) {
  const auto [sourceParent, sourceName] = splitParent(source);
  const File in = platform::openForReadingIn(platform::openFolder(sourceParent), sourceName);
  if (!in.ok()) return false;

  std::string temporary;
  File out = platform::createTemporaryBeside(target, temporary);
  if (!out.ok()) return false;
  const bool written = copyBytes(in, out) && out.close();
  if (!written || !platform::renameReplacing(temporary, target)) {
    out = File();
    (void)platform::removeFile(temporary);
    return false;
  }
  return true;
}

bool removeTree(const std::string& path) {
  const PathKind kind = platform::pathKind(path);
  if (kind == PathKind::Missing) return true;
  if (kind == PathKind::Unknown) return false;
  if (kind != PathKind::Folder) return platform::removeFile(path);
  const auto [parentPath, name] = splitParent(path);
  return platform::removeFolderTreeIn(platform::openFolder(parentPath), name);
}

bool removeFolderContent(const std::string& folder) {
  const Folder opened = openFolder(folder, true);
  if (!opened.ok()) return false;
  return removeContentOf(opened);
}

bool renameNoReplace(const std::string& from, const std::string& to) {
  return platform::renameNoReplace(from, to);
}

bool writeFileNoFollow(const std::string& path, const std::string& content) {
  const auto [parent, name] = splitParent(path);
  File out = platform::createOrTruncateIn(platform::openFolder(parent), name);
  return out.ok() && out.write(content.data(), content.size()) && out.close();
}

std::vector<std::string> listRegularFiles(const std::string& folder) {
  std::vector<std::string> files;
  // Folders still to visit, as paths relative to folder ("" is the folder).
  std::deque<std::pair<std::string, int>> pending{{std::string(), 0}};
  while (!pending.empty()) {
    auto [relative, depth] = pending.front();
    pending.pop_front();
    const Folder opened = relative.empty() ? openFolder(folder, true)
                                           : openFolder(joinPath(folder, relative), false);
    if (!opened.ok()) continue;
    std::vector<std::string> names;
    platform::listNames(opened, names);
    for (const std::string& name : names) {
      const PathKind kind = platform::pathKindIn(opened, name);
      const std::string path = relative.empty() ? name : relative + "/" + name;
      if (kind == PathKind::File) {
        files.push_back(path);
      } else if (kind == PathKind::Folder && depth < kMaxDepth) {
        pending.emplace_back(path, depth + 1);
      }
    }
  }
  return files;
}

TreeSize measureTree(const std::string& folder) {
  TreeSize size;
  const Folder opened = openFolder(folder, true);
  if (opened.ok()) measureFolder(opened, 0, size);
  return size;
}

std::optional<std::uint64_t> regularFileSize(const std::string& path) {
  if (!platform::isRegularFile(path)) return std::nullopt;
  const File file = platform::openForReading(path);
  return file.regularFileSize();
}

}  // namespace kv::settings
