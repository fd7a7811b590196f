#include "archive_check.h"

#include <zip.h>

#include "quoted_name.h"
#include "updater/endpoints.h"
#include "updater/manifest_path.h"

namespace kv::tools {
namespace {

// Every folder prefix of path: "a/b/c.txt" gives "a" and "a/b".
void addParentFolders(const std::string& path, std::set<std::string>& folders) {
  for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    folders.insert(path.substr(0, slash));
  }
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::set<std::string> foldersAtArrival(const std::vector<std::string>& sortedPaths,
                                       const std::string& archivePath) {
  std::set<std::string> folders{""};
  for (const auto& path : sortedPaths) {
    if (path > archivePath) break;
    addParentFolders(path, folders);
  }
  addParentFolders(archivePath, folders);
  return folders;
}

bool isUnpackedArchive(const std::string& manifestPath) {
  return manifestPath != updater::kOldLibsArchive && endsWith(manifestPath, updater::kArchiveExtension);
}

std::vector<std::string> checkArchive(const std::string& archiveFile, const std::string& archivePath,
                                      const std::set<std::string>& existingFolders) {
  std::vector<std::string> problems;
  int openError = 0;
  zip_t* archive = zip_open(archiveFile.c_str(), ZIP_RDONLY, &openError);
  if (archive == nullptr) {
    zip_error_t error;
    zip_error_init_with_code(&error, openError);
    problems.push_back(std::string("not a readable ZIP archive (") + zip_error_strerror(&error) + ")");
    zip_error_fini(&error);
    return problems;
  }
  const std::string base = folderOf(archivePath);
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* rawName = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (rawName == nullptr) {
      problems.push_back("entry " + std::to_string(i) + " has no readable name");
      continue;
    }
    const std::string name = rawName;
    if (!name.empty() && name.back() == '/') {
      problems.push_back("folder entry " + quotedName(name) + ": the launcher cannot unpack folder entries");
      continue;
    }
    const std::string full = base.empty() ? name : base + "/" + name;
    if (!updater::validateManifestPath(full)) {
      problems.push_back("entry " + quotedName(name) + " has a name the launcher refuses to unpack");
      continue;
    }
    const std::string folder = folderOf(full);
    if (existingFolders.count(folder) == 0) {
      problems.push_back("entry " + quotedName(name) + " lies in folder " + quotedName(folder) +
                         " that a new installation does not have when the archive arrives");
    }
  }
  zip_discard(archive);
  return problems;
}

}  // namespace kv::tools
