#pragma once
// Key rotation: how a site replaces or revokes its release keys without
// stranding installed launchers.
//
// A rotation is a short text signed (minisign, prehashed) by a key the
// launcher trusts at that point of the chain:
//
//   kvrotation sequence=2
//   trust RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3
//   revoke RWQBla...
//
// The first line names its place in the chain (1, 2, 3, ...); "trust" lines
// add keys, "revoke" lines revoke keys (given as their public key lines, the
// second line of a minisign ".pub" file). The signature's trusted comment is
// exactly "kvrotation sequence=N" with the same N, so a rotation signature
// is never mistaken for a release signature nor moved to another step.
//
// The site serves the whole chain as one file, "keys.rotation": each
// rotation text followed directly by its signature file (four lines), the
// next rotation after it. An operator makes a step with
//   minisign -S -s old.key -m step -t "kvrotation sequence=N"
// and appends step and step.minisig to the file.
//
// Following a chain from a trust state (trusted keys, revoked ids, the last
// sequence applied): steps at or below the state's sequence are skipped
// (their signatures need not verify: a launcher that applied them once keeps
// the result); the next must be exactly sequence + 1, signed by a key that is
// trusted and not revoked in the state before it; then its revocations take
// keys out (for good: a revoked id is never trusted again, not even by a
// later "trust" line) and its new keys come in. A step that leaves no key
// trusted is refused. Any refusal refuses the whole chain: the caller keeps
// the state it had.
//
// Threshold: one signature by a trusted key makes a rotation (k = 1). A
// release needs one signature too, so whoever holds one trusted key can
// already ship a release; a rotation threshold alone would not take that
// away, and would strand launchers when a key holder is unavailable. The
// defence against a stolen key is a second key kept offline and trusted
// from the start: it signs the rotation that revokes the stolen one, and a
// revoked id never comes back.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signing/minisign.h"

namespace kv::signing {

inline constexpr std::size_t kMaxRotationBytes = 64 * 1024;  // the whole chain file
inline constexpr std::size_t kMaxRotationSteps = 64;
inline constexpr std::size_t kMaxKeysPerRotation = 32;

struct Rotation {
  std::uint64_t sequence = 0;
  std::vector<PublicKey> trust;
  std::vector<PublicKey> revoke;
  bool operator==(const Rotation&) const = default;
};

// The rotation text and back ("\n" line ends, a final "\n").
std::optional<Rotation> parseRotation(std::string_view text, std::string* reason = nullptr);
std::string rotationText(const Rotation& rotation);
// The trusted comment a rotation's signature carries.
std::string rotationComment(std::uint64_t sequence);

// One step of a chain: the rotation text exactly as signed, and its
// signature file.
struct SignedRotation {
  std::string text;
  std::string signature;
};

// Splits a "keys.rotation" chain file into its steps (bounded, hostile-input
// safe) and joins them back.
bool parseRotationChain(std::string_view file, std::vector<SignedRotation>& steps, std::string* reason = nullptr);
std::string rotationChainText(const std::vector<SignedRotation>& steps);

// What a launcher trusts: its keys, the ids it has seen revoked and the last
// rotation applied (0: none).
struct TrustState {
  std::vector<PublicKey> trusted;
  std::vector<PublicKey> revoked;
  std::uint64_t sequence = 0;
  bool operator==(const TrustState&) const = default;
};

bool isTrusted(const TrustState& state, const KeyId& id);

// Follows a chain from state (see above). On success the new state; on
// refusal std::nullopt and the reason (which step, why).
std::optional<TrustState> followRotations(const TrustState& state, const std::vector<SignedRotation>& steps,
                                          std::string* reason = nullptr);

// A trust state as text, to persist beside the trusted-keys file, and back.
// The form is that of a rotation whose first line is "kvtrust sequence=N".
std::string trustStateText(const TrustState& state);
std::optional<TrustState> parseTrustState(std::string_view text, std::string* reason = nullptr);

// A signed step, as kvpublish --rotate and the tests make it.
SignedRotation signRotation(const SecretKey& key, const Rotation& rotation);

}  // namespace kv::signing
