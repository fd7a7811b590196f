#include "updater/release_check.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/file_system.h"
#include "signing/minisign.h"
#include "signing/release_claim.h"
#include "updater/atomic_file.h"
#include "updater/endpoints.h"
#include "updater/install_check.h"

namespace kv::updater {
namespace {

using signing::PublicKey;
using signing::TrustState;

bool sameKeyId(const PublicKey& a, const PublicKey& b) { return a.id == b.id; }

// The trust state to start from: the one rotations left, when there is one,
// with the installed keys it neither holds nor revoked added (a launcher
// installed again may bring more keys, never back a revoked one).
TrustState startingTrust(const std::vector<PublicKey>& installed, std::optional<TrustState> followed) {
  TrustState state;
  if (followed) state = std::move(*followed);
  for (const PublicKey& key : installed) {
    const auto same = [&](const PublicKey& other) { return sameKeyId(key, other); };
    if (std::none_of(state.trusted.begin(), state.trusted.end(), same) &&
        std::none_of(state.revoked.begin(), state.revoked.end(), same)) {
      state.trusted.push_back(key);
    }
  }
  return state;
}

// The keys verifySignature may use: the trusted ones not revoked.
std::vector<PublicKey> usableKeys(const TrustState& state) {
  std::vector<PublicKey> keys;
  for (const PublicKey& key : state.trusted) {
    if (signing::isTrusted(state, key.id)) keys.push_back(key);
  }
  return keys;
}

ReleaseRefusal refusal(std::string_view text, std::string detail) { return {std::string(text), std::move(detail)}; }

// Whether a response arrived with the file (status 0: the transport cannot
// tell, as a transport that keeps no status answers).
bool arrivedWhole(const SiteAnswer& answer) { return answer.answered && (answer.status == 200 || answer.status == 0); }

std::string shortened(std::string_view text) {
  constexpr std::size_t kMax = 80;
  return text.size() <= kMax ? std::string(text) : std::string(text.substr(0, kMax)) + "...";
}

}  // namespace

std::int64_t unixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

ReleaseCheck::ReleaseCheck(const std::string& baseFolder, std::string serverFolder, std::string serverDir)
    : baseFolder_(baseFolder), serverFolder_(std::move(serverFolder)), serverDir_(std::move(serverDir)) {
  const std::string keysPath = joinPath(baseFolder_, kReleaseKeysName);
  if (platform::pathKind(keysPath) == platform::PathKind::Missing) return;
  active_ = true;
  const std::optional<std::string> text = platform::readRegularFile(keysPath, signing::kMaxTrustedKeysBytes);
  std::vector<PublicKey> installed;
  std::string reason;
  if (!text) {
    keysProblem_ = refusal(kTextReleaseKeysUnreadable, std::string(kReleaseKeysName) + ": not a readable file of "
                                                           "at most " +
                                                           std::to_string(signing::kMaxTrustedKeysBytes) + " bytes");
    return;
  }
  if (!signing::readTrustedKeys(*text, installed, &reason) || installed.empty()) {
    keysProblem_ = refusal(kTextReleaseKeysUnreadable,
                           std::string(kReleaseKeysName) + ": " + (reason.empty() ? "no key" : reason));
    return;
  }
  // A trust state that cannot be read is started again from the installed
  // keys: the site's rotation chain brings it back.
  std::optional<TrustState> followed;
  if (const std::optional<std::string> stateText =
          platform::readRegularFile(joinPath(baseFolder_, kReleaseKeysStateName), signing::kMaxRotationBytes)) {
    followed = signing::parseTrustState(*stateText);
  }
  trust_ = startingTrust(installed, std::move(followed));
  accepted_ = readReleaseState(serverDir_);
}

bool ReleaseCheck::stampStillTrusted(std::int64_t now) const {
  if (!active_) return true;
  return !keysProblem_ && accepted_ && now < accepted_->expires;
}

bool ReleaseCheck::followSiteRotations(const FetchSiteText& fetch, const std::string& rotationUrl, std::string& why) {
  const SiteAnswer answer = fetch(rotationUrl, signing::kMaxRotationBytes);
  if (!arrivedWhole(answer)) {
    why = "no key rotation from the site (" +
          (answer.answered ? "HTTP status code: " + std::to_string(answer.status) : answer.problem) + ")";
    return false;
  }
  std::vector<signing::SignedRotation> steps;
  std::string reason;
  if (!signing::parseRotationChain(answer.body, steps, &reason)) {
    why = "the site's key rotation is malformed: " + reason;
    return false;
  }
  const std::optional<TrustState> next = signing::followRotations(trust_, steps, &reason);
  if (!next) {
    why = "the site's key rotation is refused: " + reason;
    return false;
  }
  if (*next == trust_) {
    why = "the site's key rotation names no new key";
    return false;
  }
  trust_ = *next;
  // A state that cannot be written is followed again by the next run.
  (void)replaceFileAtomically(joinPath(baseFolder_, kReleaseKeysStateName), signing::trustStateText(trust_));
  return true;
}

std::optional<ReleaseRefusal> ReleaseCheck::accept(std::string_view name, std::string_view manifest,
                                                   const SiteAnswer& signature, std::int64_t now,
                                                   const FetchSiteText& fetch, const std::string& rotationUrl) {
  if (!active_) return std::nullopt;
  if (keysProblem_) return keysProblem_;
  const std::string signatureName = std::string(name) + std::string(kSignatureSuffix);
  if (!arrivedWhole(signature)) {
    return refusal(kTextUntrustedUpdate,
                   signatureName + ": " +
                       (signature.answered ? "HTTP status code: " + std::to_string(signature.status)
                                           : signature.problem));
  }
  std::string reason;
  const std::optional<signing::SignatureFile> sig = signing::parseSignatureFile(signature.body, &reason);
  if (!sig) return refusal(kTextUntrustedUpdate, signatureName + ": " + reason);
  signing::Verdict verdict = signing::verifySignature(manifest, *sig, usableKeys(trust_));
  if (verdict == signing::Verdict::UnknownKey) {
    std::string why;
    if (followSiteRotations(fetch, rotationUrl, why)) {
      verdict = signing::verifySignature(manifest, *sig, usableKeys(trust_));
    }
    if (verdict == signing::Verdict::UnknownKey) {
      return refusal(kTextUntrustedUpdate, signatureName + ": signed by key " + signing::keyIdText(sig->keyId) +
                                               ", which is not trusted" + (why.empty() ? "" : "; " + why));
    }
  }
  if (verdict == signing::Verdict::BadSignature) {
    return refusal(kTextUntrustedUpdate, signatureName + ": the signature does not match " + std::string(name));
  }
  if (verdict == signing::Verdict::BadTrustedComment) {
    return refusal(kTextUntrustedUpdate, signatureName + ": the trusted comment does not match its signature");
  }
  const std::optional<signing::ReleaseClaim> claim = signing::parseReleaseClaim(sig->trustedComment, &reason);
  if (!claim) return refusal(kTextUntrustedUpdate, signatureName + ": not a release claim: " + reason);
  if (claim->server != serverFolder_) {
    return refusal(kTextOtherServerRelease,
                   signatureName + ": signed for server \"" + shortened(claim->server) + "\", not \"" + serverFolder_ + "\"");
  }
  if (accepted_ && claim->release < accepted_->release) {
    return refusal(kTextOlderRelease, signatureName + ": release " + std::to_string(claim->release) +
                                          ", the launcher accepted release " +
                                          std::to_string(accepted_->release));
  }
  if (claim->expires <= now) {
    return refusal(kTextExpiredUpdate, signatureName + ": release " + std::to_string(claim->release) +
                                           " expired at " + signing::utcTimeText(claim->expires));
  }
  ReleaseState state{claim->release, claim->expires};
  // A release signed again keeps the later of its expiries.
  if (accepted_ && accepted_->release == claim->release) state.expires = std::max(state.expires, accepted_->expires);
  if (!accepted_ || accepted_->release != state.release || accepted_->expires != state.expires) {
    // A record that cannot be written only makes the next run check the
    // site again.
    (void)platform::makeFolders(serverDir_);
    (void)writeReleaseState(serverDir_, state);
    accepted_ = state;
  }
  return std::nullopt;
}

std::optional<ReleaseRefusal> ReleaseCheck::checkListedHashes(const ManifestMap& manifest) const {
  if (!active_) return std::nullopt;
  for (const auto& [path, entry] : manifest) {
    if (!isSha256Hex(entry.hash)) return refusal(kTextUnlistedHash, path + ": listed hash \"" + shortened(entry.hash) + "\"");
  }
  return std::nullopt;
}

}  // namespace kv::updater
