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

bool archiveEntriesAreSafe(const archive::ArchiveToExtract& zip, std::string_view archiveFolder) {
  return std::all_of(zip.entries().begin(), zip.entries().end(),
                     [&](const archive::ZipEntryInfo& entry) { return entryLandsSafely(entry, archiveFolder); });
}

}  // namespace kv::updater
