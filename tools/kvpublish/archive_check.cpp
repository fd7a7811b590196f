#include "archive_check.h"

#include "archive/zip_archive.h"
#include "quoted_name.h"
#include "updater/archive_guard.h"

namespace kv::tools {

std::vector<std::string> checkArchive(const std::string& archiveFile, const std::string& archivePath) {
  std::vector<std::string> problems;
  const archive::ArchiveToExtract zip(archiveFile);
  if (!zip.readable()) {
    problems.push_back("not a readable ZIP archive (" + zip.failure() + ")");
    return problems;
  }
  const std::string folder = updater::archiveFolderOf(archivePath);
  for (const archive::ZipEntryInfo& entry : zip.entries()) {
    if (!updater::entryLandsSafely(entry, folder)) {
      problems.push_back("entry " + quotedName(entry.storedName) + " has a name the launcher refuses to unpack");
    }
  }
  return problems;
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
