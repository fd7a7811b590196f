#include "publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "archive_check.h"
#include "base/path_text.h"
#include "figures.h"
#include "file_hash.h"
#include "publish_progress.h"
#include "publish_signing.h"
#include "publish_work.h"
#include "quoted_name.h"
#include "release_check.h"
#include "updater/archive_guard.h"
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
  std::int64_t size = 0;  // as listed; the hash tells the size published
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
    if (const std::string problem = updater::manifestPathProblem(rel); !problem.empty()) {
      problems.push_back(quotedName(rel) + " is a path the launcher refuses: " + problem);
      continue;
    }
    if (const std::string problem = windowsNameProblem(rel); !problem.empty()) {
      problems.push_back(quotedName(rel) + " " + problem);
      continue;
    }
    // The quick-form manifest is written into the same folder after the
    // files; writing it removes the leftover temporaries beside it.
    if (rel == updater::kQuickManifestEndpoint) {
      problems.push_back(quotedName(rel) + " would be overwritten by the published manifest");
      continue;
    }
    if (rel == signatureName(updater::kFullManifestEndpoint) || rel == signatureName(updater::kQuickManifestEndpoint)) {
      problems.push_back(quotedName(rel) + " would be overwritten by the published signature");
      continue;
    }
    if (updater::isTemporaryNameOf(rel, updater::kQuickManifestEndpoint)) {
      problems.push_back(quotedName(rel) + " would be removed as a leftover when the manifest is written");
      continue;
    }
    const auto size = it->file_size(ec);
    if (ec) break;
    files.push_back({rel, full.string(), static_cast<std::int64_t>(size)});
  }
  if (ec) problems.push_back("cannot list " + quotedName(clientDir) + ": " + ec.message());
  std::sort(files.begin(), files.end(), [](const ClientFile& a, const ClientFile& b) { return a.path < b.path; });
  return files;
}

// The 32 bytes of a SHA-256 hex digest.
std::array<std::uint8_t, 32> sha256Bytes(const std::string& hex) {
  std::array<std::uint8_t, 32> bytes{};
  const auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (std::size_t i = 0; i < bytes.size() && 2 * i + 1 < hex.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(value(hex[2 * i]) << 4 | value(hex[2 * i + 1]));
  }
  return bytes;
}

bool sameFile(const std::string& path, const updater::ManifestEntry& entry, FileMeter* meter = nullptr) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != entry.size) return false;
  std::string digest, error;
  std::int64_t size = 0;
  return hashFile(path, digest, size, error, meter != nullptr ? meter->callback() : nullptr) &&
         digest == entry.hash && size == entry.size;
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

// Copies source into a fresh temporary file in target's folder and answers
// its name in temp; renaming it over target is left to the caller, once the
// copies are on the disk. The copy must hold what the manifest says (a
// client file that changed while it was published is not staged).
bool stageCopy(const std::string& source, const std::string& target, const updater::ManifestEntry& entry,
               FileMeter& meter, std::string& temp, std::string& error) {
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
  temp = name.data();
  fs::copy_file(source, temp, fs::copy_options::overwrite_existing, ec);
  // Whatever the client file allows, the site serves it to everybody.
  if (!ec) {
    fs::permissions(temp,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                    ec);
  }
  if (!ec && !sameFile(temp, entry, &meter)) {
    error = quotedName(source) + " changed while it was published";
  } else if (ec) {
    error = "cannot write " + quotedName(target) + ": " + ec.message();
  } else {
    return true;
  }
  fs::remove(temp, ec);
  temp.clear();
  return false;
}

// Puts the staged copies in place: first one flush of the file system that
// holds them (cheaper than one per file, and no copy is renamed before its
// bytes are on the disk), then the renames. On failure the copies not yet
// renamed are removed. Sets written once a copy took its place.
bool placeStagedCopies(const std::string& serverDir, const std::vector<std::pair<std::string, std::string>>& staged,
                       bool& written, std::string& error) {
  if (staged.empty()) return true;
  const int dir = ::open(serverDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || ::syncfs(dir) != 0) error = "cannot flush " + quotedName(serverDir) + ": " + std::strerror(errno);
  if (dir >= 0) ::close(dir);
  std::error_code ec;
  for (const auto& [temp, target] : staged) {
    if (error.empty()) {
      fs::rename(temp, target, ec);
      if (!ec) {
        written = true;
        continue;
      }
      error = "cannot write " + quotedName(target) + ": " + ec.message();
    }
    fs::remove(temp, ec);
  }
  return error.empty();
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
// Last-Modified stamp changes even within the same second. Sets changed,
// and written once the file was replaced. On a dry run only tells whether
// it would.
bool writeIfChanged(const std::string& path, const std::string& content, bool dryRun, bool& changed,
                    bool& written, std::string& error) {
  bool exists = false;
  const std::string old = readWhole(path, exists);
  changed = !exists || old != content;
  if (!changed || dryRun) return true;
  struct stat before{};
  const bool hadOld = exists && ::stat(path.c_str(), &before) == 0;
  std::error_code ec;
  makePublicFolders(fs::path(path).parent_path(), ec);
  std::string reason;
  if (!updater::replaceFileAtomically(path, content, &reason)) {
    error = "cannot write " + quotedName(path) + ": " + reason;
    return false;
  }
  written = true;
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

// Writes the chunk index files of the release below serverDir. They are
// named by their file's content: one already there with the right size is
// left alone (a CDN may hold it forever). Counts the indexes that were new.
bool writeIndexes(const std::string& serverDir, const CheckedRelease& release, PublishReport& report,
                  std::string& error) {
  for (std::size_t i = 0; i < release.entries.size(); ++i) {
    if (!release.indexes[i] || !release.entries[i].index) continue;
    const std::string& headPath = release.entries[i].index->path;
    bool wrote = false;
    for (const auto& [path, bytes] : {std::pair<std::string, const std::string*>{headPath, &release.indexes[i]->head},
                                      {delta::fineFilePath(headPath), &release.indexes[i]->fine}}) {
      const std::string target = joinPath(serverDir, path);
      struct stat st{};
      if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          static_cast<std::uint64_t>(st.st_size) == bytes->size()) {
        continue;
      }
      std::error_code ec;
      makePublicFolders(fs::path(target).parent_path(), ec);
      std::string reason;
      if (!updater::replaceFileAtomically(target, *bytes, &reason)) {
        error = "cannot write " + quotedName(target) + ": " + reason;
        return false;
      }
      report.siteWritten = wrote = true;
      fs::permissions(target,
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                      ec);
    }
    if (wrote) ++report.indexesWritten;
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

unsigned threadsFor(const PublishRequest& request, std::size_t files) {
  if (request.threads > 0) return request.threads;
  // Each thread pays off only with a good number of files to share.
  if (files < 16) return 1;
  return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

// The site files below serverDir that neither the manifest lists nor are the
// manifests themselves or the chunk index files it names, in path order.
std::vector<std::string> unlistedSiteFiles(const std::string& serverDir, const updater::ManifestMap& manifest,
                                           std::vector<std::string>& problems) {
  std::vector<std::string> out;
  std::set<std::string> indexFiles;
  for (const auto& [path, entry] : manifest) {
    if (!entry.index) continue;
    indexFiles.insert(entry.index->path);
    indexFiles.insert(delta::fineFilePath(entry.index->path));
  }
  std::error_code ec;
  if (!fs::is_directory(serverDir, ec)) return out;
  fs::recursive_directory_iterator it(serverDir, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string rel = it->path().lexically_relative(serverDir).generic_string();
    const auto status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(status)) continue;
    if (rel == updater::kFullManifestEndpoint || rel == updater::kQuickManifestEndpoint ||
        rel == signatureName(updater::kFullManifestEndpoint) || rel == signatureName(updater::kQuickManifestEndpoint)) {
      continue;
    }
    if (manifest.count(rel) == 0 && indexFiles.count(rel) == 0) out.push_back(rel);
  }
  if (ec) problems.push_back("cannot list " + quotedName(serverDir) + ": " + ec.message());
  std::sort(out.begin(), out.end());
  return out;
}

// Removes the given files below serverDir, then the folders that emptied.
// Sets written once a file was removed.
bool pruneSite(const std::string& serverDir, const std::vector<std::string>& paths, bool& written,
               std::vector<std::string>& problems) {
  std::set<fs::path> folders;
  for (const auto& path : paths) {
    const fs::path full = fs::path(serverDir) / path;
    std::error_code ec;
    fs::remove(full, ec);
    if (ec) {
      problems.push_back("cannot remove " + quotedName(full.string()) + ": " + ec.message());
      return false;
    }
    written = true;
    for (fs::path folder = full.parent_path(); folder != fs::path(serverDir) && !folder.empty();
         folder = folder.parent_path()) {
      folders.insert(folder);
    }
  }
  // Deepest first; a folder that still holds something stays.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    std::error_code ec;
    if (fs::is_empty(*it, ec) && !ec) fs::remove(*it, ec);
  }
  return true;
}

// --resign on a site folder: new signatures over the manifests in place.
bool resignSite(const PublishRequest& request, PublishReport& report) {
  const std::string serverDir = joinPath(joinPath(request.siteDir, "download"), request.serverFolder);
  std::string documents[2], signatures[2];
  const std::string names[2] = {std::string(updater::kFullManifestEndpoint),
                                std::string(updater::kQuickManifestEndpoint)};
  for (int i = 0; i < 2; ++i) {
    bool exists = false;
    documents[i] = readWhole(joinPath(serverDir, names[i]), exists);
    if (!exists) {
      report.problems.push_back("the site has no " + quotedName(joinPath(serverDir, names[i])) + " to sign again");
      return false;
    }
    signatures[i] = readWhole(joinPath(serverDir, signatureName(names[i])), exists);
    std::string error;
    if (!exists || !checkSignedManifest(request, names[i], documents[i], signatures[i], error)) {
      report.problems.push_back(exists ? error : "the site has no signature of " + names[i] + " to renew");
      return false;
    }
  }
  std::string error;
  if (!claimFor(request, signatures[0], report.claim, error)) {
    report.problems.push_back(error);
    return false;
  }
  for (int i = 0; i < 2; ++i) {
    bool changed = false;
    if (!writeIfChanged(joinPath(serverDir, signatureName(names[i])), signManifest(request, report.claim, documents[i]),
                        request.dryRun, changed, report.siteWritten, error)) {
      report.problems.push_back(error);
      return false;
    }
  }
  report.signatureWritten = true;
  return true;
}

}  // namespace

bool checkRelease(const PublishRequest& request, PublishReport& report, CheckedRelease& release) {
  report = PublishReport{};
  release = CheckedRelease{};
  if (request.serverFolder != "eu" && request.serverFolder != "us") {
    report.problems.push_back("unknown server " + quotedName(request.serverFolder));
    return false;
  }
  std::vector<ClientFile> files = listClient(request.clientDir, report.problems);
  if (!report.problems.empty()) return false;

  std::int64_t listedBytes = 0;
  for (const auto& file : files) listedBytes += file.size;
  const unsigned threads = threadsFor(request, files.size());
  release.threads = threads;
  std::vector<updater::ManifestEntry>& entries = release.entries;
  entries.resize(files.size());
  {
    std::vector<std::string> errors(files.size());
    Step step(request.progress, "hashing", files.size(), listedBytes);
    release.indexes.resize(files.size());
    // Chunking a large file costs more than hashing it: the other cores
    // describe its chunks while this thread reads and hashes, as long as
    // they are not hashing files of their own.
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    std::atomic<unsigned> hashing{0};
    const auto share = [&hashing, cores] { return hashing.load(std::memory_order_relaxed) < cores; };
    forEachIndex(files.size(), threads, [&](std::size_t i) {
      FileMeter meter(request.progress, files[i].size);
      entries[i].path = files[i].path;
      std::string error;
      ++hashing;
      struct Done {
        std::atomic<unsigned>& count;
        ~Done() { --count; }
      } done{hashing};
      std::optional<delta::IndexWriter> writer;
      if (request.indexes && files[i].size >= kIndexedFileSize) {
        writer.emplace(delta::kCoarseChunks, delta::kFineChunks, cores - 1, share);
      }
      const auto chunk = [&writer](const std::uint8_t* data, std::size_t size) { writer->feed(data, size); };
      if (!hashFile(files[i].fullPath, entries[i].hash, entries[i].size, error, meter.callback(),
                    writer ? std::function<void(const std::uint8_t*, std::size_t)>(chunk) : nullptr)) {
        errors[i] = "cannot read " + quotedName(files[i].path) + ": " + error;
        return false;
      }
      // The size listed is the size hashed (the file may have changed since it was listed).
      if (writer && entries[i].size >= kIndexedFileSize) {
        delta::IndexFiles index = writer->finish(sha256Bytes(entries[i].hash));
        entries[i].index = updater::IndexRef{delta::indexHeadPath(entries[i].hash), sha256Hex(index.head),
                                             static_cast<std::int64_t>(index.head.size())};
        release.indexes[i] = std::move(index);
      }
      meter.finish();
      return true;
    });
    collectErrors(errors, report.problems);
  }
  if (!report.problems.empty()) return false;

  updater::ManifestMap& manifest = release.manifest;
  std::vector<std::string> paths;
  for (const auto& entry : entries) {
    manifest[entry.path] = entry;
    paths.push_back(entry.path);
    report.totalBytes += entry.size;
  }
  report.fileCount = manifest.size();

  for (const auto& file : files) {
    if (!updater::isUnpackedArchive(file.path)) continue;
    for (auto& problem : archiveOverlaps(file.fullPath, file.path, manifest)) report.problems.push_back(problem);
  }
  if (!report.problems.empty()) return false;

  report.warnings = releaseWarnings(paths);
  warnCaseVariants(paths, report.warnings);
  for (const auto& file : files) {
    if (!updater::isUnpackedArchive(file.path)) continue;
    const ArchiveFindings findings = checkArchive(file.fullPath, file.path);
    for (const auto& refused : findings.refusedNames) report.problems.push_back(quotedName(file.path) + ": " + refused);
    if (!findings.unreadable.empty()) report.warnings.push_back(quotedName(file.path) + ": " + findings.unreadable);
  }
  if (!report.problems.empty()) return false;
  if (request.strict && !report.warnings.empty()) {
    for (const auto& warning : report.warnings) report.problems.push_back(std::string(kStrictMark) + warning);
    report.warnings.clear();
    return false;
  }

  const std::string& document = release.document = updater::serializeManifest(manifest);
  // The launcher must accept what we publish, whatever build it chose.
  updater::ManifestMap check;
  std::string reason;
  if (!updater::readRemoteManifest(document, "vdclient_gl_x64", check, &reason)) {
    report.problems.push_back("the manifest would not be accepted: " + reason);
    return false;
  }
  for (const auto& file : files) release.sources.push_back(file.fullPath);
  return true;
}

void listChanges(const updater::ManifestMap& manifest, const updater::ManifestMap& previous, PublishReport& report) {
  for (const auto& [path, entry] : manifest) {
    const auto old = previous.find(path);
    if (old == previous.end()) {
      report.added.push_back(path);
    } else if (old->second.hash != entry.hash || old->second.size != entry.size) {
      report.changed.push_back(path);
    }
  }
  for (const auto& [path, entry] : previous) {
    if (manifest.count(path) == 0) report.removed.push_back(path);
  }
}

bool publishClient(const PublishRequest& request, PublishReport& report) {
  report = PublishReport{};
  if (request.serverFolder != "eu" && request.serverFolder != "us") {
    report.problems.push_back("unknown server " + quotedName(request.serverFolder));
    return false;
  }
  if (request.resign) return resignSite(request, report);
  if (nested(request.clientDir, request.siteDir)) {
    report.problems.push_back("the client folder and the site folder must not lie inside each other");
    return false;
  }
  CheckedRelease release;
  if (!checkRelease(request, report, release)) return false;
  const unsigned threads = release.threads;
  const std::vector<updater::ManifestEntry>& entries = release.entries;
  const updater::ManifestMap& manifest = release.manifest;
  const std::string& document = release.document;

  const std::string downloadDir = joinPath(request.siteDir, "download");
  const std::string serverDir = joinPath(downloadDir, request.serverFolder);
  updater::ManifestMap previous;
  if (updater::readLocalManifest(serverDir, previous)) {
    report.hadPreviousManifest = fs::exists(joinPath(serverDir, updater::kFullManifestEndpoint));
  } else {
    previous.clear();
    report.warnings.push_back("the previous manifest of " + quotedName(request.serverFolder) +
                              " cannot be read: every file counts as added");
  }
  listChanges(manifest, previous, report);
  const std::string fullPath = joinPath(serverDir, updater::kFullManifestEndpoint);
  const std::string quickPath = joinPath(serverDir, updater::kQuickManifestEndpoint);
  if (request.signingKey) {
    bool exists = false;
    const std::string current = readWhole(signatureName(fullPath), exists);
    std::string error;
    if (!claimFor(request, current, report.claim, error)) {
      report.problems.push_back(error);
      return false;
    }
  } else if (fs::exists(signatureName(fullPath))) {
    report.warnings.push_back("the site's manifests of " + quotedName(request.serverFolder) +
                              " were signed and this publication is not: launchers with release keys will "
                              "refuse it (sign it with --sign)");
  }

  {
    std::vector<std::string> errors(entries.size());
    std::vector<std::string> staged(entries.size());  // temporary copies, by file
    std::vector<char> copied(entries.size(), 0);
    Step step(request.progress, request.dryRun ? "comparing" : "comparing and copying", entries.size(),
              report.totalBytes);
    forEachIndex(entries.size(), threads, [&](std::size_t i) {
      const updater::ManifestEntry& entry = entries[i];
      FileMeter meter(request.progress, entry.size);
      const std::string target = joinPath(serverDir, entry.path);
      if (!sameFile(target, entry, &meter)) {
        copied[i] = 1;
        if (!request.dryRun && !stageCopy(release.sources[i], target, entry, meter, staged[i], errors[i])) return false;
      }
      meter.finish();
      return true;
    });
    collectErrors(errors, report.problems);
    std::vector<std::pair<std::string, std::string>> placements;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!staged[i].empty()) placements.emplace_back(staged[i], joinPath(serverDir, entries[i].path));
    }
    if (!report.problems.empty()) {
      std::error_code ec;
      for (const auto& placement : placements) fs::remove(placement.first, ec);
      return false;
    }
    std::string error;
    if (!placeStagedCopies(serverDir, placements, report.siteWritten, error)) {
      report.problems.push_back(error);
      return false;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (copied[i] == 0) continue;
      ++report.filesCopied;
      report.bytesCopied += entries[i].size;
    }
  }
  if (!report.problems.empty()) return false;
  if (std::string error; !request.dryRun && !writeIndexes(serverDir, release, report, error)) {
    report.problems.push_back(error);
    return false;
  }

  bool fullChanged = false;
  bool quickChanged = false;
  std::string error;
  bool& written = report.siteWritten;
  // The signatures before the manifests they sign (see publishClient).
  if (request.signingKey) {
    bool ignored = false;
    if (!writeIfChanged(signatureName(fullPath), signManifest(request, report.claim, document), request.dryRun, ignored,
                        written, error) ||
        !writeIfChanged(signatureName(quickPath), signManifest(request, report.claim, document), request.dryRun,
                        ignored, written, error)) {
      report.problems.push_back(error);
      return false;
    }
    report.signatureWritten = true;
  }
  // The quick form carries the stamp the launcher checks first, so it goes last.
  if (!writeIfChanged(fullPath, document, request.dryRun, fullChanged, written, error) ||
      !writeIfChanged(quickPath, document, request.dryRun, quickChanged, written, error) ||
      !writeIfChanged(joinPath(downloadDir, updater::kVersionEndpoint), request.versionText, request.dryRun,
                      report.versionChanged, written, error)) {
    report.problems.push_back(error);
    return false;
  }
  report.manifestChanged = fullChanged || quickChanged;

  // Only once the new manifests are in place: a player who read the old one
  // a moment ago still finds every file it lists until then.
  if (request.prune) {
    report.pruned = unlistedSiteFiles(serverDir, manifest, report.problems);
    if (!report.problems.empty()) return false;
    if (!request.dryRun && !pruneSite(serverDir, report.pruned, report.siteWritten, report.problems)) return false;
  }
  return true;
}

std::string failureLine(const PublishReport& report) {
  if (!report.siteWritten) return "nothing was published";
  return "the publication stopped part way: the files written so far are on the site; the manifest players "
         "read is the one in place before unless it was written (run kvpublish again)";
}

std::vector<std::string> summaryLines(const PublishRequest& request, const PublishReport& report, bool verbose) {
  const std::string would = request.dryRun ? "would be " : "";
  std::vector<std::string> lines;
  if (request.resign) {
    lines.push_back(signedLine(report.claim, request.dryRun) + " (the manifests and files left as they were)");
    return lines;
  }
  lines.push_back(request.serverFolder + ": " + std::to_string(report.fileCount) + " files (" +
                  byteText(report.totalBytes) + "), " + std::to_string(report.filesCopied) + " " +
                  (request.dryRun ? "to copy" : "copied") + " (" + byteText(report.bytesCopied) + "), manifest " +
                  (report.manifestChanged ? would + "updated" : std::string("unchanged")) +
                  (request.dryRun ? " (dry run: nothing written)" : ""));
  if (report.hadPreviousManifest) {
    lines.push_back("since the previous manifest: " + std::to_string(report.added.size()) + " added, " +
                    std::to_string(report.changed.size()) + " changed, " + std::to_string(report.removed.size()) +
                    " removed");
  } else {
    lines.push_back("first manifest of this server: " + std::to_string(report.added.size()) + " added");
  }
  if (report.indexesWritten > 0) lines.push_back(std::to_string(report.indexesWritten) + " chunk indexes written");
  if (report.versionChanged) lines.push_back("version text " + would + "set to " + quotedName(request.versionText));
  if (report.signatureWritten) lines.push_back(signedLine(report.claim, request.dryRun));
  if (request.prune) {
    lines.push_back(std::to_string(report.pruned.size()) + " unlisted site files " +
                    (request.dryRun ? "would be pruned" : "pruned"));
  } else if (!report.removed.empty()) {
    lines.push_back("the removed files stay on the site; --prune removes them");
  }
  if (verbose) {
    const auto list = [&lines](const char* mark, const std::vector<std::string>& paths) {
      for (const auto& path : paths) lines.push_back(std::string("  ") + mark + " " + quotedName(path));
    };
    list("added  ", report.added);
    list("changed", report.changed);
    list("removed", report.removed);
    list("pruned ", report.pruned);
  }
  return lines;
}

}  // namespace kv::tools
