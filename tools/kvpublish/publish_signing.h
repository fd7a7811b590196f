#pragma once
// Release signatures of a publication: "manifest.json.minisig" and
// "manifest.php.minisig" beside the manifests, minisign signatures whose
// trusted comment is the release claim (server, release number, expiry).
#include <cstdint>
#include <string>
#include <string_view>

#include "signing/minisign.h"
#include "signing/release_claim.h"

namespace kv::tools {

struct PublishRequest;

// The name of a manifest's signature beside it.
std::string signatureName(std::string_view manifestName);

// The largest --expires, in days.
inline constexpr int kMaxExpiresDays = 3650;

// The claim this publication signs, from the signature the site holds now
// (currentSignature, "" when there is none): the release one above the
// site's (or request.release, which must be above it), or with request.resign
// the site's release again; the expiry request.expiresDays after request.now
// (the clock when 0). False with the reason when the site's signature cannot
// be read where its release is needed, names another server, or the release
// would not be above it.
bool claimFor(const PublishRequest& request, const std::string& currentSignature, signing::ReleaseClaim& claim,
              std::string& error);

// A whole signature file of document by request.signingKey with the claim.
std::string signManifest(const PublishRequest& request, const signing::ReleaseClaim& claim,
                         const std::string& document);

// For --resign: whether the manifest text the site holds is what its current
// signature signs, by the key kvpublish signs with. A site whose manifest
// was changed behind the publisher's back must not get a fresh signature.
bool checkSignedManifest(const PublishRequest& request, const std::string& name, const std::string& document,
                         const std::string& signature, std::string& error);

// "signed: release 12 of eu, expires 2027-01-07T19:00:00Z", for the summary.
std::string signedLine(const signing::ReleaseClaim& claim, bool dryRun);

}  // namespace kv::tools
