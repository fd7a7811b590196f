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

}  // namespace kv::tools
