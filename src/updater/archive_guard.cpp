#include "updater/archive_guard.h"

#include "archive/zip_archive_object.h"
#include "updater/manifest_path.h"

namespace kv::updater {
namespace {

bool landsSafely(std::string_view archiveFolder, std::string name) {
  if (name.ends_with('/')) name.pop_back();  // a folder entry names its folder
  return validateManifestPath(std::string(archiveFolder) + name);
}

}  // namespace

bool archiveEntriesAreSafe(const std::string& archivePath, std::string_view archiveFolder) {
  std::vector<archive::ZipEntryInfo> entries;
  try {
    archive::ZipArchive zip;
    zip.load(archivePath);
    entries = zip.listEntries();
  } catch (...) {
    return true;  // unreadable: extraction fails and says so
  }
  for (const archive::ZipEntryInfo& entry : entries) {
    if (entry.nameHasNul || !landsSafely(archiveFolder, entry.name) ||
        !landsSafely(archiveFolder, entry.storedName)) {
      return false;
    }
  }
  return true;
}

}  // namespace kv::updater
