#include "publish_signing.h"

#include <ctime>

#include "publish.h"
#include "quoted_name.h"
#include "updater/release_check.h"

namespace kv::tools {

std::string signatureName(std::string_view manifestName) {
  return std::string(manifestName) + std::string(updater::kSignatureSuffix);
}

bool claimFor(const PublishRequest& request, const std::string& currentSignature, signing::ReleaseClaim& claim,
              std::string& error) {
  std::uint64_t current = 0;
  bool haveCurrent = false;
  if (!currentSignature.empty()) {
    std::string reason;
    auto sig = signing::parseSignatureFile(currentSignature, &reason);
    std::optional<signing::ReleaseClaim> was;
    if (sig) was = signing::parseReleaseClaim(sig->trustedComment, &reason);
    if (was && was->server != request.serverFolder) {
      error =
          "the site's signature is for server " + quotedName(was->server) + ", not " + quotedName(request.serverFolder);
      return false;
    }
    if (was) {
      current = was->release;
      haveCurrent = true;
    } else if (request.resign || request.release == 0) {
      error = "the site's signature cannot be read (" + reason + ")" +
              (request.resign ? ": publish the release again" : ": give the release number with --release");
      return false;
    }
  }
  if (request.resign) {
    if (!haveCurrent) {
      error = "the site has no signed release to renew";
      return false;
    }
    if (request.release != 0 && request.release != current) {
      error = "--resign renews release " + std::to_string(current) + ", not " + std::to_string(request.release);
      return false;
    }
    claim.release = current;
  } else {
    claim.release = request.release != 0 ? request.release : current + 1;
    if (haveCurrent && claim.release <= current) {
      error = "release " + std::to_string(claim.release) + " is not above the site's release " +
              std::to_string(current) + ": launchers that installed it would refuse it";
      return false;
    }
  }
  const std::int64_t now = request.now != 0 ? request.now : static_cast<std::int64_t>(std::time(nullptr));
  claim.server = request.serverFolder;
  claim.expires = now + std::int64_t{request.expiresDays} * 86400;
  return true;
}

std::string signManifest(const PublishRequest& request, const signing::ReleaseClaim& claim,
                         const std::string& document) {
  return signing::signMessage(*request.signingKey, document, signing::releaseClaimText(claim),
                              "signature from kvpublish secret key");
}

bool checkSignedManifest(const PublishRequest& request, const std::string& name, const std::string& document,
                         const std::string& signature, std::string& error) {
  std::string reason;
  auto sig = signing::parseSignatureFile(signature, &reason);
  if (!sig) {
    error = "the site's signature of " + name + " cannot be read (" + reason + "): publish the release again";
    return false;
  }
  switch (signing::verifySignature(document, *sig, {signing::publicKeyOf(*request.signingKey)})) {
    case signing::Verdict::Valid:
      return true;
    case signing::Verdict::UnknownKey:
      error = "the site's " + name + " is signed by key " + signing::keyIdText(sig->keyId) + ", not by key " +
              signing::keyIdText(request.signingKey->id) + ": publish the release again to sign it with this key";
      return false;
    case signing::Verdict::BadSignature:
    case signing::Verdict::BadTrustedComment:
      break;
  }
  error = "the site's " + name +
          " is not what its signature signs (changed since it was published?): publish "
          "the release again";
  return false;
}

std::string signedLine(const signing::ReleaseClaim& claim, bool dryRun) {
  return std::string(dryRun ? "would sign" : "signed") + ": release " + std::to_string(claim.release) + " of " +
         claim.server + ", expires " + signing::utcTimeText(claim.expires);
}

}  // namespace kv::tools
