#include "updater/manifest_path.h"

#include <string>

#include "archive/archive_path.h"
#include "base/launcher_files.h"
#include "updater/atomic_file.h"

namespace kv::updater {
namespace {

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool hasDownloadTemporarySegment(std::string_view path) {
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    if (isDownloadTemporaryName(path.substr(start, slash == std::string_view::npos ? slash : slash - start))) {
      return true;
    }
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

// Whether the path names the launcher's own state in the server folder,
// including the temporary files that replacing the local manifest or the
// Last-Modified record removes as leftovers.
bool isLauncherOwned(std::string_view path) {
  const std::string lower = lowerAscii(path);
  for (const std::string_view own : {std::string_view(kLocalManifestName), std::string_view(kManifestMetaName),
                                     std::string_view(kManifestJournalName), std::string_view(kUnpackedRecordName),
                                     std::string_view(kUpdateLockName), std::string_view(kReleaseStateName)}) {
    if (lower == own || isTemporaryNameOf(path, own)) return true;
  }
  const std::string first = lower.substr(0, lower.find('/'));
  return first == kConfigFolderName || first == kConfigBackupFolderName || first == kIndexFolderName;
}

}  // namespace

std::string manifestPathProblem(std::string_view path) {
  if (std::string problem = archive::entryNameProblem(path); !problem.empty()) return problem;
  if (hasDownloadTemporarySegment(path)) return "a part of it has the form of the launcher's download temporaries";
  if (isLauncherOwned(path)) return "it names the launcher's own files in the server folder";
  return {};
}

bool validateManifestPath(std::string_view path) { return manifestPathProblem(path).empty(); }

bool validIndexHeadPath(std::string_view path) {
  const std::string_view folder = kIndexFolderName;
  if (path.size() <= folder.size() + 1 || !path.starts_with(folder) || path[folder.size()] != '/') return false;
  const std::string_view name = path.substr(folder.size() + 1);
  const std::string_view extension = kIndexHeadExtension;
  return name.size() > extension.size() && name.ends_with(extension) &&
         name.find('/') == std::string_view::npos && archive::entryNameProblem(name).empty() &&
         !isDownloadTemporaryName(name);
}

}  // namespace kv::updater
