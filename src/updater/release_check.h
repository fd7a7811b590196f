#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "signing/key_rotation.h"
#include "updater/manifest.h"
#include "updater/release_state.h"

namespace kv::updater {

// What an update run refuses when the installation has release keys, and
// why: the text the player sees (exact) and the detail for the log.
inline constexpr std::string_view kTextUntrustedUpdate = "The update is not signed by a trusted key";
inline constexpr std::string_view kTextExpiredUpdate = "The update has expired: ask the game's staff to renew it";
inline constexpr std::string_view kTextOlderRelease = "The server offers an older release than the one installed";
inline constexpr std::string_view kTextOtherServerRelease = "The update is signed for another server";
inline constexpr std::string_view kTextFileNotSigned = "A downloaded file does not match the signed update";
inline constexpr std::string_view kTextUnlistedHash = "The signed update lists a file without its SHA-256";
inline constexpr std::string_view kTextReleaseKeysUnreadable =
    "The launcher's release keys cannot be read: reinstall the launcher";

// The signature of a manifest (or of the rotation chain) is served beside
// it under its name and this.
inline constexpr std::string_view kSignatureSuffix = ".minisig";
// The site's chain of key rotations, in the download folder.
inline constexpr std::string_view kRotationEndpoint = "keys.rotation";
// The most of a signature answer that is read (the signature parser refuses
// more than its own bound of it).
inline constexpr std::size_t kSignatureBodyLimit = 64 * 1024;

struct ReleaseRefusal {
  std::string text;    // one of the texts above
  std::string detail;  // for the log and the run's reason
};

// A small answer of the site: whether a response arrived, its status, its
// body, and what went wrong when it did not arrive.
struct SiteAnswer {
  bool answered = false;
  long status = 0;
  std::string body;
  std::string problem;
};
using FetchSiteText = std::function<SiteAnswer(const std::string& url, std::size_t limit)>;

// The signature checks of one update run of one server, when the
// installation folder holds release keys ("release_keys"); without them
// every check passes and the run behaves as an unsigned site's. The keys are
// read once, when the object is made, together with the trust state the
// rotations followed earlier left beside them ("release_keys.state"); the
// highest release accepted for the server is kept in "release.state" in its
// folder. Worker thread.
class ReleaseCheck {
 public:
  ReleaseCheck(const std::string& baseFolder, std::string serverFolder, std::string serverDir);

  // Whether the installation has release keys.
  bool active() const { return active_; }
  // A release keys file that cannot be read or holds a malformed line: every
  // run of such an installation is refused.
  const std::optional<ReleaseRefusal>& keysProblem() const { return keysProblem_; }

  // Whether an unchanged Last-Modified stamp may still be taken for an
  // unchanged server: always without keys; with keys only while the release
  // accepted last has not expired (now: seconds since 1970, UTC).
  bool stampStillTrusted(std::int64_t now) const;

  // Checks manifest (named by name in the details) against its signature
  // answer: a valid signature by a trusted key (the site's rotation chain,
  // fetched from rotationUrl, is followed once when the key is not trusted)
  // whose trusted comment claims this server, a release not below the
  // highest accepted and an expiry after now. An accepted release is
  // recorded at once. Nothing when accepted (or when there are no keys).
  std::optional<ReleaseRefusal> accept(std::string_view name, std::string_view manifest,
                                       const SiteAnswer& signature, std::int64_t now,
                                       const FetchSiteText& fetch, const std::string& rotationUrl);

  // With keys, every file of a signed manifest must be listed with its
  // SHA-256, so that each download can be held against it.
  std::optional<ReleaseRefusal> checkListedHashes(const ManifestMap& manifest) const;

 private:
  // Follows the site's rotation chain from the current trust state; true
  // when the state changed (and was persisted). why gets the reason it did
  // not.
  bool followSiteRotations(const FetchSiteText& fetch, const std::string& rotationUrl, std::string& why);

  std::string baseFolder_;
  std::string serverFolder_;
  std::string serverDir_;
  bool active_ = false;
  std::optional<ReleaseRefusal> keysProblem_;
  signing::TrustState trust_;
  std::optional<ReleaseState> accepted_;  // as read at the start, then as recorded
};

// Seconds since 1970, UTC, by the system clock.
std::int64_t unixNow();

}  // namespace kv::updater
