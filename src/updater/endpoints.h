#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/launcher_files.h"
#include "base/launcher_version.h"
#include "base/path_text.h"
#include "updater/site_config.h"

namespace kv::updater {

// Every name the updater sends to the game web site, and every text it
// shows. URLs are built from the site configuration; the names on disk are
// those of base/launcher_files.h.

// The largest download record read; a larger one is not trusted.
inline constexpr std::uint64_t kMaxDownloadRecordBytes = 16 * 1024;
// A download writes its record once its temporary holds this many bytes (or
// when it is interrupted earlier), so a quick small file costs no record.
inline constexpr std::int64_t kDownloadRecordBytes = 1024 * 1024;
// The longest file name (one path segment) the file systems take, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;
inline constexpr std::string_view kMetaKey = "Last-Modified:";

// Request names under the download folder of the site.
inline constexpr std::string_view kVersionEndpoint = "updater.php";
inline constexpr std::string_view kQuickManifestEndpoint = "manifest.php";
inline constexpr std::string_view kFullManifestEndpoint = "manifest.json";

// Agent strings: the manifest text requests, and everything else.
inline constexpr std::string_view kTextAgent = "KVLauncher";
inline constexpr std::string_view kHttpAgent = "KVLauncher/1.0";

// The launcher's own version, compared byte for byte with the site's answer,
// is kLauncherVersionText of base/launcher_version.h.

// Limits of the small requests: an answer above them is a failed request.
inline constexpr std::size_t kManifestBodyLimit = std::size_t{64} * 1024 * 1024;
inline constexpr std::size_t kVersionBodyLimit = 4096;
// The most of an error page (a download answered with another status than
// 200) that is kept; the rest is not read.
inline constexpr std::int64_t kErrorPageLimit = 64 * 1024;
// Redirects followed by any request.
inline constexpr long kMaxRedirects = 10;
// The largest file size a manifest may announce (1 TiB).
inline constexpr std::int64_t kMaxManifestFileSize = std::int64_t{1} << 40;

// The update run's rhythm.
inline constexpr int kDownloadAttempts = 3;
inline constexpr int kRetryPauseMs = 2000;
inline constexpr std::int64_t kCheckpointBytes = 10485760;
inline constexpr double kProgressIntervalSeconds = 0.5;
// A download that received nothing for this long is no longer named as the
// one that moves.
inline constexpr double kStalledSeconds = 2.0;
// Longest status or error text, in characters.
inline constexpr std::size_t kMaxReportChars = 255;

// Texts of the update run's reports.
inline constexpr std::string_view kTextNewLauncher = "Download the new version of KVLauncher";
inline constexpr std::string_view kTextUpdaterPreparing = "The updater is being prepared for download";
inline constexpr std::string_view kTextManifestFailed = "Failed to download manifest";
inline constexpr std::string_view kTextCheckingUpdates = "Checking updates...";
inline constexpr std::string_view kTextInvalidRemote = "Invalid remote manifest format";
inline constexpr std::string_view kTextInvalidLocal = "Invalid local manifest format";
inline constexpr std::string_view kTextRemoveFailedPrefix = "Failed to remove existing file: ";
inline constexpr std::string_view kTextExtractFailedPrefix = "Failed to extract: ";
inline constexpr std::string_view kTextExtractFailedSuffix = ". Make sure the file is not in use.";
// The reason given with an error report (never shown in the window) when the
// manifest's answer carries no Last-Modified stamp.
inline constexpr std::string_view kReasonNoStamp = "the answer carries no Last-Modified stamp";
// Pieces of "Connection failed (PATH), retrying... (N/3)",
// "Connection failed (PATH) after 3 attempts" and
// "Downloading: NAME (P%, S KB/s)".
inline constexpr std::string_view kTextConnectionFailedPrefix = "Connection failed (";
inline constexpr std::string_view kTextRetryingInfix = "), retrying... (";
inline constexpr std::string_view kTextAfterInfix = ") after ";
inline constexpr std::string_view kTextAttemptsSuffix = " attempts";
inline constexpr std::string_view kTextDownloadingPrefix = "Downloading: ";
inline constexpr std::string_view kTextSpeedSuffix = " KB/s)";
// "Downloading: waiting for the site (P%)" while nothing moves, and
// "Downloading: failed: NAME (P%)" while the box about NAME is open (both
// download statuses, which change with the timing of the transfers).
inline constexpr std::string_view kTextWaitingPrefix = "Downloading: waiting for the site (";
inline constexpr std::string_view kTextDownloadFailedPrefix = "Downloading: failed: ";

// Texts of the download engine: log lines, message boxes and their titles.
inline constexpr std::string_view kLogInitFailed = "Failed to initialize CURL.";
inline constexpr std::string_view kBoxInitFailed = "Failed to initialize CUR.";
inline constexpr std::string_view kLogCannotOpenPrefix = "Cannot open file for writing: ";
inline constexpr std::string_view kBoxCannotOpen = "Cannot open file for writing.";
inline constexpr std::string_view kLogPerformErrorPrefix = "curl_easy_perform error: ";
inline constexpr std::string_view kLogHttpStatusPrefix = "HTTP status code: ";
inline constexpr std::string_view kBoxHttpStatusPrefix = "Download failed.\nHTTP response code: ";
inline constexpr std::string_view kTitleError = "Error";
inline constexpr std::string_view kTitleCurlError = "CURL Error";
inline constexpr std::string_view kTitleHttpError = "HTTP Error";
// Reasons the engine gives itself when the bytes on disk cannot be trusted
// (the transport's own wording for the same faults).
inline constexpr std::string_view kReasonWriteFailed = "Failed writing received data to disk/application";
inline constexpr std::string_view kReasonPartialFile = "Transferred a partial file";

// "https://" + siteHost + "/download/".
std::string downloadBaseUrl(const SiteConfig& site);
// The launcher version text: downloadBaseUrl + "updater.php".
std::string versionUrl(const SiteConfig& site);
// The server's quick-form manifest (also the Last-Modified source):
// downloadBaseUrl + folder + "/manifest.php".
std::string quickManifestUrl(const SiteConfig& site, std::string_view serverFolder);
// The server's full manifest: downloadBaseUrl + folder + "/manifest.json".
std::string fullManifestUrl(const SiteConfig& site, std::string_view serverFolder);
// A game file: downloadBaseUrl + folder + "/" + the manifest path with every
// segment percent-encoded (the "/" between segments stay).
std::string fileUrl(const SiteConfig& site, std::string_view serverFolder, std::string_view manifestPath);

// Percent-encodes one path segment: ASCII letters, digits and "-._~" stay,
// every other byte becomes "%" and two upper-case hex digits.
std::string percentEncodeSegment(std::string_view segment);
// Percent-encodes every "/"-separated segment of path; the "/" stay.
std::string percentEncodePath(std::string_view path);

}  // namespace kv::updater
