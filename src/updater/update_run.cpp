#include "updater/update_run.h"

#include <future>
#include <memory>
#include <thread>
#include <optional>
#include <set>
#include <vector>

#include "archive/zip_archive.h"
#include "platform/file_system.h"
#include "updater/archive_guard.h"
#include "updater/atomic_file.h"
#include "updater/delta_fetch.h"
#include "updater/disk_space.h"
#include "updater/site_transport.h"
#include "updater/download_file.h"
#include "updater/download_log.h"
#include "updater/download_progress.h"
#include "updater/download_resume.h"
#include "updater/fetch_files.h"
#include "updater/install_check.h"
#include "updater/install_record.h"
#include "updater/endpoints.h"
#include "updater/last_modified.h"
#include "updater/manifest.h"
#include "updater/manifest_meta.h"
#include "updater/release_check.h"
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
        serverDir_(joinPath(context.baseFolder, folder_)),
        release_(context.baseFolder, folder_, serverDir_) {}

  void run() {
    if (cancelled()) return;
    if (const std::optional<ReleaseRefusal>& problem = release_.keysProblem()) {
      refuse(*problem);
      return;
    }
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
      archivesToUnpack_ = std::move(found.archivesToUnpack);
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
  // Takes the server folder's update lock, so that one updater at a time
  // writes there. A lock that cannot be had for another reason than another
  // holder (a folder that cannot be written) is left: the run reports that
  // failure in its own words. False when the run ends here.
  bool lockServerFolder(bool& waited) {
    (void)platform::makeFolders(serverDir_);
    const std::string path = joinPath(serverDir_, kUpdateLockName);
    platform::LockOutcome outcome = platform::LockOutcome::Failed;
    lock_ = platform::lockExclusively(path, outcome);
    if (outcome != platform::LockOutcome::Busy) return true;
    const std::string text = anotherUpdateText(folder_);
    if (!context_.waitForOtherUpdate) {
      postError(text);
      return false;
    }
    postStatus(text);
    waited = true;
    while (outcome == platform::LockOutcome::Busy) {
      for (int slice = 0; slice < 5; ++slice) {
        if (worker_.cancel.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      lock_ = platform::lockExclusively(path, outcome);
    }
    if (cancelled()) return false;
    postStatus(std::string(kTextCheckingUpdates));
    return true;
  }

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
    // A journal left by a stopped run is folded into the manifest by a full
    // comparison first.
    if (hasManifestJournal(serverDir_)) return false;
    const std::string remoteStamp = runtime_.remoteLastModified();
    const std::string storedStamp = runtime_.storedLastModified();
    if (!remoteStamp.empty() && !storedStamp.empty() && remoteStamp == storedStamp &&
        release_.stampStillTrusted(unixNow())) {
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
    if (!acceptSigned(quickManifestUrl(context_.site, folder_), kQuickManifestEndpoint, quickText)) return true;
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
    if (!acceptSigned(fullManifestUrl(context_.site, folder_), kFullManifestEndpoint, text)) return;
    ManifestMap remote;
    if (!readRemoteManifest(text, context_.clientBuild, remote)) {
      if (cancelled()) return;
      postError(std::string(kTextInvalidRemote));
      return;
    }
    if (const std::optional<ReleaseRefusal> refused = release_.checkListedHashes(remote)) {
      refuse(*refused);
      return;
    }
    if (cancelled()) return;
    // One updater at a time writes to the server folder. One that had to
    // wait looks at the installation again: the other one changed it.
    bool waited = false;
    if (local_ && !lockServerFolder(waited)) return;
    if (waited) {
      InstalledCheck found = checkInstalledFiles();
      damaged_ = std::move(found.damaged);
      archivesToUnpack_ = std::move(found.archivesToUnpack);
      local_ = std::move(found.local);
    }
    if (!local_) {
      if (cancelled()) return;
      postError(std::string(kTextInvalidLocal));
      return;
    }
    ManifestMap& local = *local_;
    if (cancelled()) return;
    // Damaged files are fetched again as if they were not installed, and so
    // are the archives that unpacked damaged files.
    for (const std::string& path : damaged_) local.erase(path);
    for (const std::string& path : archivesToUnpack_) local.erase(path);
    FetchPlan plan = compareManifests(remote, local);
    putInterfaceArtFirst(plan.paths);
    if (cancelled()) return;
    if (plan.paths.empty()) {
      removeStrayDownloads(remote);
      // Damaged files the site no longer lists are no longer recorded, and
      // what the journal of a stopped run noted goes into the manifest.
      const bool saved = (damaged_.empty() && !hasManifestJournal(serverDir_)) || writeLocalManifest(serverDir_, local);
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
    // A signed manifest's files are held against their listed SHA-256.
    if (release_.active()) {
      for (FetchItem& item : items) item.hashRequired = true;
    }
    // A run that cannot fit on the disk fetches nothing.
    if (const auto shortage = diskSpaceShortage(serverDir_, folder_, bytesToFetch(items))) {
      writeDownloadLog(environment.logPath, *shortage);
      if (!cancelled()) postError(*shortage);
      return;
    }
    const std::unique_ptr<TransferEngine> engine = transport_.openEngine(context_.site.downloadConnections);
    // Changed files with an index are put together from what is installed
    // first; those that cannot be are fetched whole with the rest.
    DeltaTotals delta;
    const bool assembled = assembleChangedFiles(*engine, environment, progress, context_.site, folder_, serverDir_,
                                                remote, local, items, delta);
    const auto tellFetched = [&] {
      if (context_.onFetched) context_.onFetched(progress.runBytes - delta.reportedBytes + delta.fetchedBytes);
    };
    if (!assembled) {
      tellFetched();
      return;
    }
    std::int64_t sinceCheckpoint = 0;  // bytes of the files installed since the last checkpoint
    ManifestJournal journal(serverDir_);
    UnpackedFiles unpacked;
    // An unreadable record is started anew: its files are checked again once
    // their archives are unpacked again.
    (void)readUnpackedRecord(serverDir_, unpacked);
    // A file counts as installed once it (and what it unpacks) is in place.
    const auto installed = [&](const std::string& path, std::int64_t bytes) {
      const ManifestEntry& entry = remote.at(path);
      local[path] = entry;
      if (!journal.installed(entry)) sinceCheckpoint = kCheckpointBytes;
      sinceCheckpoint += bytes;
      if (sinceCheckpoint >= kCheckpointBytes) {
        // A checkpoint that cannot be written only means more to fetch
        // after an interruption: the journal stays. It is not flushed to
        // the disk: the rename alone keeps it whole when the launcher is
        // closed or killed.
        journal.close();
        (void)writeLocalManifest(serverDir_, local, FileSync::NoFlush);
        sinceCheckpoint = 0;
      }
    };
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
    hooks.hashRefused = [this](const FetchItem& item, const std::string& digest) {
      refuse({std::string(kTextFileNotSigned),
              item.path + ": SHA-256 " + digest + ", the signed manifest lists " + item.hash});
    };
    hooks.completed = [&](const FetchItem& item, std::int64_t bytes) -> Completion {
      const std::string& path = item.path;
      const std::string& localPath = item.localPath;
      // Until it is noted installed again, the file's content is unknown to
      // the record: a kill in between makes the next run fetch it.
      local.erase(path);
      if (!journal.replacing(path)) {
        journal.close();
        (void)writeLocalManifest(serverDir_, local, FileSync::NoFlush);
      }
      if (!platform::renameReplacing(item.partPath, localPath)) {
        if (!cancelled()) postError(removeFailedText(fileNamePart(localPath)));
        return {.ok = false};
      }
      if (!isUnpackedArchive(path)) {
        installed(path, bytes);
        return {};
      }
      // A cancel is heard before the unpacking, which may take a while; the
      // archive is then fetched again by the next run.
      if (cancelled()) return {.ok = false};
      // The archive unpacks beside the transfers. An archive that would
      // overwrite the launcher's own files is refused like a damaged one;
      // entries on paths the manifest lists are left to the listed files.
      auto entries = std::make_shared<std::vector<archive::ZipEntryInfo>>();
      // What the archive needs and the disk lacks, when that stopped it.
      auto shortage = std::make_shared<std::optional<std::string>>();
      Completion completion;
      completion.work = [this, &remote, entries, shortage, path, localPath] {
        {
          archive::ArchiveToExtract zip(localPath);
          const std::string folder = archiveFolderOf(path);
          const auto unowned = [&](const archive::ZipEntryInfo& entry) {
            return !listedOwnerOf(entryLandingPath(entry, folder), archive::isFolderEntry(entry), remote);
          };
          if (!archiveEntriesAreSafe(zip, folder)) return false;
          *shortage = diskSpaceShortage(serverDir_, folder_, zip.bytesToAdd(folderOf(localPath), unowned));
          if (*shortage || !zip.extractTo(folderOf(localPath), context_.window, unowned)) return false;
          for (const archive::ZipEntryInfo& entry : zip.entries()) {
            if (unowned(entry)) entries->push_back(entry);
          }
        }
        // An archive that cannot be deleted only costs disk space: it is
        // recorded all the same and not fetched again. It is closed first.
        (void)platform::removeFile(localPath);
        return true;
      };
      completion.then = [&, entries, shortage, path, localPath, bytes](bool worked) {
        if (!worked && *shortage) {
          writeDownloadLog(environment.logPath, **shortage);
          if (!cancelled()) postError(**shortage);
          return false;
        }
        if (!worked) {
          if (!cancelled()) postError(extractFailedText(fileNamePart(localPath)));
          return false;
        }
        recordUnpacked(unpacked, path, *entries);
        (void)writeUnpackedRecord(serverDir_, unpacked);
        installed(path, bytes);
        return true;
      };
      return completion;
    };
    const FetchEnd end = fetchFiles(*engine, environment, progress, items, hooks, context_.retryPause);
    tellFetched();
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
    if (saved) removeUnusedHeads(serverDir_, local);
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

  // With release keys, fetches the signature of the manifest text got from
  // url and holds the text against it; a refusal ends the run (false).
  // Without keys, true.
  bool acceptSigned(const std::string& url, std::string_view name, const std::string& text) {
    if (!release_.active()) return true;
    const FetchSiteText fetch = [this](const std::string& address, std::size_t limit) {
      SiteAnswer answer;
      answer.answered = transport_.getText(address, limit, answer.body);
      answer.status = transport_.lastSmallRequest().status;
      answer.problem = smallRequestProblem(transport_.lastSmallRequest());
      return answer;
    };
    const SiteAnswer signature = fetch(url + std::string(kSignatureSuffix), kSignatureBodyLimit);
    if (cancelled()) return false;
    const std::optional<ReleaseRefusal> refused = release_.accept(
        name, text, signature, unixNow(), fetch, downloadBaseUrl(context_.site) + std::string(kRotationEndpoint));
    if (!refused) return true;
    if (!cancelled()) refuse(*refused);
    return false;
  }

  // Ends the run with a refusal of the update: logged with its detail, told
  // with its text; nothing is installed.
  void refuse(const ReleaseRefusal& refused) {
    writeDownloadLog(joinPath(context_.baseFolder, kDownloadLogName), refused.text + ": " + refused.detail);
    postError(refused.text, refused.detail);
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
  std::set<std::string> archivesToUnpack_;  // archives whose unpacked files were found damaged
  std::optional<ManifestMap> local_;  // the local manifest read at the start; nothing when unreadable
  platform::File lock_;  // holds the server folder's update lock while open
  ReleaseCheck release_;  // the signature checks, when the installation has release keys
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
