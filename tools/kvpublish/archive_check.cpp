#include "archive_check.h"

#include "archive/zip_archive.h"
#include "quoted_name.h"
#include "release_check.h"
#include "updater/archive_guard.h"

namespace kv::tools {

ArchiveFindings checkArchive(const std::string& archiveFile, const std::string& archivePath) {
  ArchiveFindings findings;
  const archive::ArchiveToExtract zip(archiveFile);
  if (!zip.readable()) {
    findings.unreadable = "not a readable ZIP archive (" + zip.failure() + ")";
    return findings;
  }
  const std::string folder = updater::archiveFolderOf(archivePath);
  for (const archive::ZipEntryInfo& entry : zip.entries()) {
    const std::string entryText = "entry " + quotedName(entry.storedName);
    if (const std::string problem = updater::entryLandingProblem(entry, folder); !problem.empty()) {
      findings.refusedNames.push_back(entryText + " has a name the launcher refuses to unpack: " + problem);
    } else if (const std::string windows = windowsNameProblem(folder + entry.name); !windows.empty()) {
      findings.refusedNames.push_back(entryText + " " + windows);
    }
  }
  return findings;
}

std::vector<std::string> archiveOverlaps(const std::string& archiveFile, const std::string& archivePath,
                                         const updater::ManifestMap& listed) {
  std::vector<std::string> problems;
  const archive::ArchiveToExtract zip(archiveFile);
  const std::string folder = updater::archiveFolderOf(archivePath);
  for (const archive::ZipEntryInfo& entry : zip.entries()) {
    const std::string landing = updater::entryLandingPath(entry, folder);
    const std::optional<std::string> owner = updater::listedOwnerOf(landing, archive::isFolderEntry(entry), listed);
    if (!owner) continue;
    problems.push_back(quotedName(archivePath) + ": entry " + quotedName(entry.storedName) + " lands on " +
                       quotedName(landing) +
                       (*owner == landing ? ", which is also listed on its own"
                                          : ", which collides with the listed " + quotedName(*owner)) +
                       ": every installed path must come from one place");
  }
  return problems;
}

}  // namespace kv::tools
