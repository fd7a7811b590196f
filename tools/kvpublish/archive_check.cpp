#include "archive_check.h"

#include <zip.h>

#include "quoted_name.h"
#include "updater/endpoints.h"
#include "updater/manifest_path.h"

namespace kv::tools {
namespace {

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool isUnpackedArchive(const std::string& manifestPath) {
  return manifestPath != kOldLibsArchive && endsWith(manifestPath, kArchiveExtension);
}

std::vector<std::string> checkArchive(const std::string& archiveFile, const std::string& archivePath) {
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
    // A folder entry names its folder.
    const std::string folderName = !name.empty() && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
    const std::string full = base.empty() ? folderName : base + "/" + folderName;
    if (!updater::validateManifestPath(full)) {
      problems.push_back("entry " + quotedName(name) + " has a name the launcher refuses to unpack");
    }
  }
  zip_discard(archive);
  return problems;
}

}  // namespace kv::tools
