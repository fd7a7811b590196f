#include "updater/archive_guard.h"

#include <algorithm>

#include "base/launcher_files.h"
#include "updater/manifest_path.h"

namespace kv::updater {
namespace {

std::string landingProblem(std::string_view archiveFolder, std::string name) {
  if (name.ends_with('/')) name.pop_back();  // a folder entry names its folder
  return manifestPathProblem(std::string(archiveFolder) + name);
}

}  // namespace

bool isUnpackedArchive(std::string_view manifestPath) {
  return manifestPath != kOldLibsArchive && manifestPath.ends_with(kArchiveExtension);
}

std::string archiveFolderOf(std::string_view manifestPath) {
  const std::size_t slash = manifestPath.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(manifestPath.substr(0, slash + 1));
}

std::string entryLandingProblem(const archive::ZipEntryInfo& entry, std::string_view archiveFolder) {
  if (entry.nameHasNul) return "it holds a NUL byte";
  if (std::string problem = landingProblem(archiveFolder, entry.storedName); !problem.empty()) return problem;
  return landingProblem(archiveFolder, entry.name);
}

bool entryLandsSafely(const archive::ZipEntryInfo& entry, std::string_view archiveFolder) {
  return entryLandingProblem(entry, archiveFolder).empty();
}

std::string entryLandingPath(const archive::ZipEntryInfo& entry, std::string_view archiveFolder) {
  std::string path = std::string(archiveFolder) + entry.name;
  if (path.ends_with('/')) path.pop_back();
  return path;
}

std::optional<std::string> listedOwnerOf(std::string_view landingPath, bool folderEntry, const ManifestMap& listed) {
  const std::string path(landingPath);
  if (listed.count(path) != 0) return path;
  // A listed file at one of the folders the entry needs.
  for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const auto it = listed.find(path.substr(0, slash));
    if (it != listed.end()) return it->first;
  }
  // A listed file below the entry's path, which needs it to be a folder.
  if (!folderEntry) {
    const std::string below = path + "/";
    const auto it = listed.lower_bound(below);
    if (it != listed.end() && it->first.starts_with(below)) return it->first;
  }
  return std::nullopt;
}

bool archiveEntriesAreSafe(const archive::ArchiveToExtract& zip, std::string_view archiveFolder) {
  return std::all_of(zip.entries().begin(), zip.entries().end(),
                     [&](const archive::ZipEntryInfo& entry) { return entryLandsSafely(entry, archiveFolder); });
}

}  // namespace kv::updater
