#include "publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "archive_check.h"
#include "file_hash.h"
#include "quoted_name.h"
#include "updater/atomic_file.h"
#include "updater/endpoints.h"
#include "updater/manifest.h"
#include "updater/manifest_path.h"

namespace fs = std::filesystem;

namespace kv::tools {
namespace {

struct ClientFile {
  std::string path;      // manifest path
  std::string fullPath;  // where it is in the client folder
};

// Whether text is valid UTF-8 (the manifest is JSON, which carries only that).
bool isUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// Lists the client's regular files; anything that cannot be published goes
// to problems.
std::vector<ClientFile> listClient(const std::string& clientDir, std::vector<std::string>& problems) {
  std::vector<ClientFile> files;
  std::error_code ec;
  if (!fs::is_directory(clientDir, ec)) {
    problems.push_back("client folder " + quotedName(clientDir) + " is not a folder");
    return files;
  }
  fs::recursive_directory_iterator it(clientDir, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& full = it->path();
    const std::string rel = full.lexically_relative(clientDir).generic_string();
    const auto status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_symlink(status)) {
      problems.push_back(quotedName(rel) + " is a symbolic link");
      it.disable_recursion_pending();
      continue;
    }
    if (fs::is_directory(status)) continue;
    if (!fs::is_regular_file(status)) {
      problems.push_back(quotedName(rel) + " is not a regular file");
      continue;
    }
    if (!isUtf8(rel)) {
      problems.push_back(quotedName(rel) + " is not a UTF-8 name");
      continue;
    }
    if (!updater::validateManifestPath(rel)) {
      problems.push_back(quotedName(rel) + " is a path the launcher refuses");
      continue;
    }
    // The quick-form manifest is written into the same folder after the
    // files; writing it removes the leftover temporaries beside it.
    if (rel == updater::kQuickManifestEndpoint) {
      problems.push_back(quotedName(rel) + " would be overwritten by the published manifest");
      continue;
    }
    if (updater::isTemporaryNameOf(rel, updater::kQuickManifestEndpoint)) {
      problems.push_back(quotedName(rel) + " would be removed as a leftover when the manifest is written");
      continue;
    }
    files.push_back({rel, full.string()});
  }
  if (ec) problems.push_back("cannot list " + quotedName(clientDir) + ": " + ec.message());
  std::sort(files.begin(), files.end(), [](const ClientFile& a, const ClientFile& b) { return a.path < b.path; });
  return files;
}

bool sameFile(const std::string& path, const updater::ManifestEntry& entry) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != entry.size) return false;
  std::string digest, error;
  std::int64_t size = 0;
  return hashFile(path, digest, size, error) && digest == entry.hash && size == entry.size;
}

// Creates the missing folders of dir, each readable and enterable by
// everybody (the web server's user), whatever the umask says.
void makePublicFolders(const fs::path& dir, std::error_code& ec) {
  fs::path prefix;
  for (const auto& part : dir) {
    prefix /= part;
    if (fs::exists(prefix, ec) || ec) continue;
    if (!fs::create_directory(prefix, ec) && ec) return;
    fs::permissions(prefix, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec,
                    ec);
    if (ec) return;
  }
}

// Copies source to target through a temporary file in target's folder. The
// copy must hold what the manifest says (a client file that changed while
// it was published is not put in place).
bool copyFileAtomically(const std::string& source, const std::string& target, const updater::ManifestEntry& entry,
                        std::string& error) {
  std::error_code ec;
  makePublicFolders(fs::path(target).parent_path(), ec);
  if (ec) {
    error = "cannot create the folder of " + quotedName(target) + ": " + ec.message();
    return false;
  }
  // A fresh name that no file of the client can already have.
  std::string pattern = (fs::path(target).parent_path() / ".kvpublish-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int reserved = ::mkostemp(name.data(), O_CLOEXEC);
  if (reserved < 0) {
    error = "cannot write beside " + quotedName(target) + ": " + std::strerror(errno);
    return false;
  }
  ::close(reserved);
  const std::string temp(name.data());
  fs::copy_file(source, temp, fs::copy_options::overwrite_existing, ec);
  if (!ec) {
    const int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      (void)::fsync(fd);
      ::close(fd);
    }
    // Whatever the client file allows, the site serves it to everybody.
    fs::permissions(temp,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                    ec);
    if (!ec && !sameFile(temp, entry)) {
      error = quotedName(source) + " changed while it was published";
      fs::remove(temp, ec);
      return false;
    }
    if (!ec) fs::rename(temp, target, ec);
  }
  if (ec) {
    error = "cannot write " + quotedName(target) + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

std::string readWhole(const std::string& path, bool& exists) {
  std::ifstream in(path, std::ios::binary);
  exists = static_cast<bool>(in);
  std::ostringstream text;
  if (exists) text << in.rdbuf();
  return text.str();
}

// Replaces path with content unless it already holds exactly that. A file
// that was replaced gets a modification time later than the old one, so its
// Last-Modified stamp changes even within the same second. Sets changed.
bool writeIfChanged(const std::string& path, const std::string& content, bool& changed, std::string& error) {
  bool exists = false;
  const std::string old = readWhole(path, exists);
  changed = !exists || old != content;
  if (!changed) return true;
  struct stat before{};
  const bool hadOld = exists && ::stat(path.c_str(), &before) == 0;
  std::error_code ec;
  makePublicFolders(fs::path(path).parent_path(), ec);
  std::string reason;
  if (!updater::replaceFileAtomically(path, content, &reason)) {
    error = "cannot write " + quotedName(path) + ": " + reason;
    return false;
  }
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                  ec);
  struct stat after{};
  if (hadOld && ::stat(path.c_str(), &after) == 0 && after.st_mtim.tv_sec <= before.st_mtim.tv_sec) {
    timespec times[2];
    times[0].tv_sec = before.st_mtim.tv_sec + 1;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
      error = "cannot set the time of " + quotedName(path) + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// Whether one folder is the other or lies inside it (publishing would then
// copy the site into itself).
bool nested(const std::string& a, const std::string& b) {
  std::error_code ec;
  const fs::path x = fs::weakly_canonical(fs::absolute(a), ec);
  const fs::path y = fs::weakly_canonical(fs::absolute(b), ec);
  const auto inside = [](const fs::path& outer, const fs::path& inner) {
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end() && !o->empty(); ++o, ++i) {
      if (i == inner.end() || *o != *i) return false;
    }
    return true;
  };
  return inside(x, y) || inside(y, x);
}

// Paths that differ only in ASCII case are two files here but one on a
// system that ignores case; each such group gets one warning.
void warnCaseVariants(const std::vector<std::string>& paths, std::vector<std::string>& warnings) {
  std::map<std::string, std::vector<std::string>> groups;
  for (const auto& path : paths) {
    std::string folded = path;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    groups[folded].push_back(path);
  }
  for (const auto& [folded, group] : groups) {
    if (group.size() < 2) continue;
    std::string names;
    for (const auto& path : group) names += (names.empty() ? "" : ", ") + quotedName(path);
    warnings.push_back(names + ": differ only in case and would be one file on a system that ignores case");
  }
}

}  // namespace

bool publishClient(const PublishRequest& request, PublishReport& report) {
  report = PublishReport{};
  if (request.serverFolder != "eu" && request.serverFolder != "us") {
    report.problems.push_back("unknown server " + quotedName(request.serverFolder));
    return false;
  }
  if (nested(request.clientDir, request.siteDir)) {
    report.problems.push_back("the client folder and the site folder must not lie inside each other");
    return false;
  }
  const std::vector<ClientFile> files = listClient(request.clientDir, report.problems);
  if (!report.problems.empty()) return false;

  updater::ManifestMap manifest;
  std::vector<std::string> paths;
  for (const auto& file : files) {
    updater::ManifestEntry entry;
    entry.path = file.path;
    std::string error;
    if (!hashFile(file.fullPath, entry.hash, entry.size, error)) {
      report.problems.push_back("cannot read " + quotedName(file.path) + ": " + error);
      continue;
    }
    manifest[file.path] = entry;
    paths.push_back(file.path);
  }
  if (!report.problems.empty()) return false;
  report.fileCount = manifest.size();

  warnCaseVariants(paths, report.warnings);
  for (const auto& file : files) {
    if (!isUnpackedArchive(file.path)) continue;
    for (const auto& problem : checkArchive(file.fullPath, file.path)) {
      report.warnings.push_back(quotedName(file.path) + ": " + problem);
    }
  }

  const std::string document = updater::serializeManifest(manifest);
  // The launcher must accept what we publish, whatever build it chose.
  updater::ManifestMap check;
  std::string reason;
  if (!updater::readRemoteManifest(document, "vdclient_gl_x64", check, &reason)) {
    report.problems.push_back("the manifest would not be accepted: " + reason);
    return false;
  }

  const std::string downloadDir = updater::joinPath(request.siteDir, "download");
  const std::string serverDir = updater::joinPath(downloadDir, request.serverFolder);
  for (const auto& file : files) {
    const std::string target = updater::joinPath(serverDir, file.path);
    if (sameFile(target, manifest.at(file.path))) continue;
    std::string error;
    if (!copyFileAtomically(file.fullPath, target, manifest.at(file.path), error)) {
      report.problems.push_back(error);
      return false;
    }
    ++report.filesCopied;
  }

  bool fullChanged = false;
  bool quickChanged = false;
  bool versionChanged = false;
  std::string error;
  // The quick form carries the stamp the launcher checks first, so it goes last.
  if (!writeIfChanged(updater::joinPath(serverDir, updater::kFullManifestEndpoint), document, fullChanged, error) ||
      !writeIfChanged(updater::joinPath(serverDir, updater::kQuickManifestEndpoint), document, quickChanged,
                      error) ||
      !writeIfChanged(updater::joinPath(downloadDir, updater::kVersionEndpoint), request.versionText,
                      versionChanged, error)) {
    report.problems.push_back(error);
    return false;
  }
  report.manifestChanged = fullChanged || quickChanged;
  return true;
}

}  // namespace kv::tools
