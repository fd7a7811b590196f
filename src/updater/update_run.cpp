#include "updater/update_run.h"

#include <future>
#include <optional>
#include <set>
#include <vector>

#include "archive/zip_archive.h"
#include "platform/file_system.h"
#include "updater/archive_guard.h"
#include "updater/atomic_file.h"
#include "updater/site_transport.h"
#include "updater/download_file.h"
#include "updater/download_log.h"
#include "updater/download_progress.h"
#include "updater/download_resume.h"
#include "updater/fetch_files.h"
#include "updater/install_check.h"
#include "updater/endpoints.h"
#include "updater/last_modified.h"
#include "updater/manifest.h"
#include "updater/manifest_meta.h"
#include "updater/report_texts.h"
#include "updater/server_profiles.h"
#include "updater/transfer_engine.h"
#include "updater/version_check.h"

namespace kv::updater {
namespace {

using platform::Report;
using platform::ReportKind;

// Makes room for a file where an empty folder stands; a folder that holds
// anything is left alone. False when a folder is still there.
bool clearEmptyFolder(const std::string& path) {
  const platform::Folder folder = platform::openFolder(folderOf(path));
  return folder.ok() && platform::removeFolderIn(folder, fileNamePart(path));
}

// One update run of one server, on its worker's thread.
class UpdateRunner {
 public:
  UpdateRunner(const UpdateContext& context, HttpTransport& transport)
      : context_(context),
        transport_(transport),
        worker_(*context.worker),
        runtime_(*context.runtime),
        folder_(serverFolder(context.worker->server)),
        serverDir_(joinPath(context.baseFolder, folder_)) {}

  void run() {
    if (cancelled()) return;
    // The check of the installed files only reads the disk: it runs while
    // the site is asked (at once, where no thread can be started).
    std::future<InstalledCheck> check =
        std::async(std::launch::async | std::launch::deferred, [this] { return checkInstalledFiles(); });
    if (checkLauncherVersion(transport_, context_.site)) {
      postError(std::string(kTextNewLauncher));  // posted whatever the cancel flag says
      return;
    }
    if (!fetchLastModified(transport_, context_.site, folder_, runtime_)) {
      if (cancelled()) return;
      const std::string problem = smallRequestProblem(transport_.lastSmallRequest());
      postError(std::string(kTextUpdaterPreparing), problem.empty() ? std::string(kReasonNoStamp) : problem);
      return;
    }
    {
      InstalledCheck found = check.get();
      damaged_ = std::move(found.damaged);
      local_ = std::move(found.local);
      if (context_.onStartCheck) context_.onStartCheck(found.checked, damaged_);
    }
    if (damaged_.empty()) {
      if (cancelled()) return;
      if (unchangedOrVouched()) return;
    }
    if (cancelled()) return;
    postStatus(std::string(kTextCheckingUpdates));
    if (cancelled()) return;
    runFullUpdate();
  }

 private:
  // The check of the installed files; a local manifest that cannot be read
  // is the full run's to report. Reads only the disk, the constant members
  // and the cancel flag, so it may run on its own thread (a cancelled run
  // ends without a word anyway).
  InstalledCheck checkInstalledFiles() const {
    return updater::checkInstalledFiles(serverDir_, context_.contentCheck, &worker_.cancel);
  }

  // The shortcuts of a whole installation: an unchanged stamp, or a quick
  // manifest the shared reference vouches for. True when the run ended
  // there (ready, or an error posted).
  bool unchangedOrVouched() {
    const std::string remoteStamp = runtime_.remoteLastModified();
    const std::string storedStamp = runtime_.storedLastModified();
    if (!remoteStamp.empty() && !storedStamp.empty() && remoteStamp == storedStamp) {
      postReady();
      return true;
    }
    std::string quickText;
    if (!transport_.getText(quickManifestUrl(context_.site, folder_), kManifestBodyLimit, quickText)) {
      if (cancelled()) return true;
      postError(std::string(kTextManifestFailed), smallRequestProblem(transport_.lastSmallRequest()));
      return true;
    }
    if (cancelled()) return true;
    // The shared reference only vouches for a server folder that holds an
    // installation: without a local manifest nothing is installed yet.
    if (platform::isRegularFile(joinPath(serverDir_, kLocalManifestName)) &&
        quickManifestCheck(quickText, joinPath(context_.baseFolder, kQuickReferencePath))) {
      if (cancelled()) return true;
      postReady();
      recordStamp();
      return true;
    }
    return false;
  }

  void runFullUpdate() {
    std::string text;
    if (!transport_.getText(fullManifestUrl(context_.site, folder_), kManifestBodyLimit, text)) {
      if (cancelled()) return;
      postError(std::string(kTextManifestFailed), smallRequestProblem(transport_.lastSmallRequest()));
      return;
    }
    if (cancelled()) return;
    ManifestMap remote;
    if (!readRemoteManifest(text, context_.clientBuild, remote)) {
      if (cancelled()) return;
      postError(std::string(kTextInvalidRemote));
      return;
    }
    if (cancelled()) return;
    if (!local_) {
      if (cancelled()) return;
      postError(std::string(kTextInvalidLocal));
      return;
    }
    ManifestMap& local = *local_;
    if (cancelled()) return;
    // Damaged files are fetched again as if they were not installed.
    for (const std::string& path : damaged_) local.erase(path);
    FetchPlan plan = compareManifests(remote, local);
    putInterfaceArtFirst(plan.paths);
    if (cancelled()) return;
    if (plan.paths.empty()) {
      removeStrayDownloads(remote);
      // Damaged files the site no longer lists are no longer recorded.
      const bool saved = damaged_.empty() || writeLocalManifest(serverDir_, local);
      postReady();
      if (!saved) return;
      if (!runtime_.remoteLastModified().empty()) recordStamp();
      return;
    }

    DownloadProgress progress;
    progress.cancel = &worker_.cancel;
    progress.reports = context_.reports;
    progress.server = worker_.server;
    progress.totalBytes = plan.totalBytes;
    progress.phaseStart = progress.now();

    DownloadEnvironment environment;
    environment.transport = &transport_;
    environment.dialogs = context_.dialogs;
    environment.logPath = joinPath(context_.baseFolder, kDownloadLogName);
    environment.cancel = &worker_.cancel;
    environment.onFailure = context_.onDownloadFailure;
    const std::shared_ptr<RateLimit> rateLimit =
        context_.rateLimit ? context_.rateLimit
                           : std::make_shared<RateLimit>(clampDownloadLimit(context_.site.downloadLimitKBps) * 1024);
    environment.rateLimit = rateLimit.get();

    std::vector<FetchItem> items;
    items.reserve(plan.paths.size());
    for (const std::string& path : plan.paths) {
      const ManifestEntry& entry = remote.at(path);
      // A file whose size the manifest leaves out may have any size.
      const std::optional<std::int64_t> expectedSize =
          entry.sizeListed ? std::optional<std::int64_t>(entry.size) : std::nullopt;
      const std::string localPath = joinPath(serverDir_, path);
      items.push_back({path, fileUrl(context_.site, folder_, path), localPath, downloadTemporaryPath(localPath),
                       expectedSize, entry.hash});
    }
    std::int64_t sinceCheckpoint = 0;  // bytes of the files completed since the last checkpoint
    FetchHooks hooks;
    hooks.cancelled = [this] { return cancelled(); };
    // The old copy stays untouched until its new version is whole; a folder
    // in its place is removed only when empty.
    hooks.prepare = [this](const FetchItem& item) {
      if (platform::pathKind(item.localPath) != platform::PathKind::Folder || clearEmptyFolder(item.localPath)) {
        return true;
      }
      if (!cancelled()) postError(removeFailedText(fileNamePart(item.localPath)));
      return false;
    };
    hooks.retrying = [this](const FetchItem& item, int attempt) {
      postStatus(retryText(item.path, attempt, kDownloadAttempts));
    };
    hooks.gaveUp = [this](const FetchItem& item) { postError(attemptsFailedText(item.path, kDownloadAttempts)); };
    hooks.completed = [&](const FetchItem& item, std::int64_t bytes) {
      const std::string& path = item.path;
      const std::string& localPath = item.localPath;
      if (!platform::renameReplacing(item.partPath, localPath)) {
        if (!cancelled()) postError(removeFailedText(fileNamePart(localPath)));
        return false;
      }
      if (isUnpackedArchive(path)) {
        // A cancel is heard before the unpacking, which may take a while;
        // the archive is then fetched again by the next run.
        if (cancelled()) return false;
        // An archive that would overwrite the launcher's own files is refused
        // like a damaged one. The archive is closed before it is removed.
        bool unpacked = false;
        {
          archive::ArchiveToExtract zip(localPath);
          unpacked = archiveEntriesAreSafe(zip, archiveFolderOf(path)) &&
                     zip.extractTo(folderOf(localPath), context_.window);
        }
        if (!unpacked) {
          if (!cancelled()) postError(extractFailedText(fileNamePart(localPath)));
          return false;
        }
        // An archive that cannot be deleted only costs disk space: it is
        // recorded all the same and not fetched again.
        (void)platform::removeFile(localPath);
      }
      local[path] = remote.at(path);
      sinceCheckpoint += bytes;
      if (sinceCheckpoint >= kCheckpointBytes) {
        // A checkpoint that cannot be written only means more to fetch
        // after an interruption. It is not flushed to the disk: the rename
        // alone keeps it whole when the launcher is closed or killed.
        (void)writeLocalManifest(serverDir_, local, FileSync::NoFlush);
        sinceCheckpoint = 0;
      }
      return true;
    };
    const std::unique_ptr<TransferEngine> engine = transport_.openEngine(context_.site.downloadConnections);
    const FetchEnd end = fetchFiles(*engine, environment, progress, items, hooks, context_.retryPause);
    if (end != FetchEnd::Done) {
      // What a stopped run had begun to download is kept only where a
      // record says what it is, for a later run to continue; the old copies
      // stay as they were.
      for (const FetchItem& item : items) {
        if (platform::pathKind(downloadRecordPath(item.partPath)) != platform::PathKind::File) {
          (void)platform::removeFile(item.partPath);
        }
      }
      if (end == FetchEnd::Stopped) removeStrayDownloads(remote);
      return;
    }
    removeStrayDownloads(remote);
    if (cancelled()) return;
    // The stamp is recorded only with the manifest it belongs to, so an
    // unwritable manifest makes the next run compare again instead of
    // trusting a record that does not match the disk.
    const bool saved = writeLocalManifest(serverDir_, local);
    if (saved && !runtime_.remoteLastModified().empty()) recordStamp();
    postReady();
  }

  // Removes the download temporaries and their records that belong to no
  // entry of manifest (left by runs of earlier versions of the site).
  void removeStrayDownloads(const ManifestMap& manifest) {
    std::set<std::string> keep;
    for (const auto& [path, entry] : manifest) {
      const std::string part = downloadTemporaryPath(path);
      keep.insert(part);
      keep.insert(downloadRecordPath(part));
    }
    removeStrayDownloadFiles(serverDir_, keep);
  }

  // A cancellation check: true when the run must end at once, silently.
  bool cancelled() {
    if (context_.beforeCheck) context_.beforeCheck();
    return worker_.cancel.load();
  }

  // storedLastModified = remoteLastModified, recorded in "manifest.meta".
  void recordStamp() {
    const std::string stamp = runtime_.remoteLastModified();
    runtime_.setStoredLastModified(stamp);
    (void)writeManifestMeta(serverDir_, stamp);
  }

  void post(ReportKind kind, std::string text, std::string reason = {}) {
    Report report;
    report.kind = kind;
    report.server = worker_.server;
    report.text = std::move(text);
    report.reason = std::move(reason);
    (void)context_.reports->post(std::move(report));
  }
  void postStatus(std::string text) { post(ReportKind::Status, std::move(text)); }
  void postError(std::string text, std::string reason = {}) {
    post(ReportKind::Error, std::move(text), std::move(reason));
  }
  void postReady() { post(ReportKind::Ready, std::string()); }

  const UpdateContext& context_;
  HttpTransport& transport_;
  UpdaterWorker& worker_;
  ServerRuntime& runtime_;
  const std::string folder_;
  const std::string serverDir_;
  std::set<std::string> damaged_;  // the local manifest's paths found damaged at the start
  std::optional<ManifestMap> local_;  // the local manifest read at the start; nothing when unreadable
};

}  // namespace

void runUpdate(const UpdateContext& context) {
  if (context.worker == nullptr || context.runtime == nullptr || context.reports == nullptr) return;
  if (!isValidServer(context.worker->server)) return;
  try {
    std::unique_ptr<HttpTransport> ownTransport;
    HttpTransport* transport = context.transport;
    if (transport == nullptr) {
      CurlTransportOptions options;
      options.caFile = context.site.caFile;
      ownTransport = makeSiteTransport(options);
      transport = ownTransport.get();
    }
    // The small requests that fall short are logged with their reasons.
    SmallRequestLog logged(*transport, joinPath(context.baseFolder, kDownloadLogName));
    UpdateRunner(context, logged).run();
  } catch (...) {
    // Every part of the run reports its failures itself; whatever still
    // escapes (memory exhaustion) ends the run without taking the launcher
    // down.
  }
}

}  // namespace kv::updater
