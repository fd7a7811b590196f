#include "signing/key_rotation.h"

#include <algorithm>

#include "signing/signing_text.h"

namespace kv::signing {
namespace {

constexpr std::string_view kRotationMagic = "kvrotation";
constexpr std::string_view kTrustMagic = "kvtrust";
constexpr std::uint64_t kSequenceLimit = 1'000'000'000'000'000;
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";

void setReason(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
}

bool hasId(const std::vector<PublicKey>& keys, const KeyId& id) {
  return std::any_of(keys.begin(), keys.end(), [&](const PublicKey& k) { return k.id == id; });
}

// "<magic> sequence=N", then "trust <key>" and "revoke <key>" lines.
bool parseListing(std::string_view text, std::string_view magic, std::size_t maxKeys, std::uint64_t& sequence,
                  std::vector<PublicKey>& trust, std::vector<PublicKey>& revoke, std::string* reason) {
  if (text.size() > kMaxRotationBytes) {
    setReason(reason, "larger than " + std::to_string(kMaxRotationBytes) + " bytes");
    return false;
  }
  std::vector<std::string_view> lines;
  if (!splitLines(text, 2 * maxKeys + 2, lines)) {
    setReason(reason, "more than " + std::to_string(maxKeys) + " keys");
    return false;
  }
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  const std::string prefix = std::string(magic) + " sequence=";
  if (lines.empty() || !lines[0].starts_with(prefix) ||
      !parseDecimal(lines[0].substr(prefix.size()), kSequenceLimit, sequence)) {
    setReason(reason, "the first line is not \"" + prefix + "N\"");
    return false;
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    std::vector<PublicKey>* list = nullptr;
    if (line.starts_with("trust ")) {
      list = &trust;
      line.remove_prefix(6);
    } else if (line.starts_with("revoke ")) {
      list = &revoke;
      line.remove_prefix(7);
    } else {
      setReason(reason, "line " + std::to_string(i + 1) + " is neither \"trust <key>\" nor \"revoke <key>\"");
      return false;
    }
    std::string why;
    auto key = parsePublicKeyLine(line, &why);
    if (!key) {
      setReason(reason, "line " + std::to_string(i + 1) + ": " + why);
      return false;
    }
    if (hasId(*list, key->id)) {
      setReason(reason, "line " + std::to_string(i + 1) + ": key " + keyIdText(key->id) + " is listed twice");
      return false;
    }
    if (trust.size() + revoke.size() == maxKeys) {
      setReason(reason, "more than " + std::to_string(maxKeys) + " keys");
      return false;
    }
    list->push_back(*key);
  }
  return true;
}

std::string listingText(std::string_view magic, std::uint64_t sequence, const std::vector<PublicKey>& trust,
                        const std::vector<PublicKey>& revoke) {
  std::string out = std::string(magic) + " sequence=" + std::to_string(sequence) + "\n";
  for (const auto& key : trust) out += "trust " + publicKeyLine(key) + "\n";
  for (const auto& key : revoke) out += "revoke " + publicKeyLine(key) + "\n";
  return out;
}

}  // namespace

std::optional<Rotation> parseRotation(std::string_view text, std::string* reason) {
  Rotation rotation;
  std::string why;
  if (!parseListing(text, kRotationMagic, kMaxKeysPerRotation, rotation.sequence, rotation.trust, rotation.revoke,
                    &why)) {
    setReason(reason, "not a key rotation: " + why);
    return std::nullopt;
  }
  if (rotation.sequence == 0) {
    setReason(reason, "not a key rotation: its sequence starts at 1");
    return std::nullopt;
  }
  if (rotation.trust.empty() && rotation.revoke.empty()) {
    setReason(reason, "not a key rotation: it names no key");
    return std::nullopt;
  }
  return rotation;
}

std::string rotationText(const Rotation& rotation) {
  return listingText(kRotationMagic, rotation.sequence, rotation.trust, rotation.revoke);
}

std::string rotationComment(std::uint64_t sequence) {
  return std::string(kRotationMagic) + " sequence=" + std::to_string(sequence);
}

bool parseRotationChain(std::string_view file, std::vector<SignedRotation>& steps, std::string* reason) {
  if (file.size() > kMaxRotationBytes) {
    setReason(reason, "the key rotation file is larger than " + std::to_string(kMaxRotationBytes) + " bytes");
    return false;
  }
  // Line starts and ends by offset, so that each step keeps its exact bytes.
  struct Line {
    std::size_t begin, end, next;  // [begin, end) without the line break; next line's start
  };
  std::vector<Line> lines;
  for (std::size_t pos = 0; pos < file.size();) {
    std::size_t nl = file.find('\n', pos);
    std::size_t next = nl == std::string_view::npos ? file.size() : nl + 1;
    std::size_t end = nl == std::string_view::npos ? file.size() : nl;
    if (end > pos && file[end - 1] == '\r') --end;
    lines.push_back({pos, end, next});
    pos = next;
  }
  auto text = [&](std::size_t i) { return file.substr(lines[i].begin, lines[i].end - lines[i].begin); };
  std::vector<SignedRotation> read;
  std::size_t i = 0;
  while (i < lines.size()) {
    if (text(i).empty()) {
      ++i;
      continue;
    }
    if (!text(i).starts_with(std::string(kRotationMagic) + " ")) {
      setReason(reason, "key rotation file, line " + std::to_string(i + 1) + ": a step does not start here");
      return false;
    }
    if (read.size() == kMaxRotationSteps) {
      setReason(reason, "the key rotation file has more than " + std::to_string(kMaxRotationSteps) + " steps");
      return false;
    }
    const std::size_t first = i;
    while (i < lines.size() && !text(i).starts_with(kUntrustedPrefix)) ++i;
    if (i + 4 > lines.size()) {
      setReason(reason, "key rotation file, step " + std::to_string(read.size() + 1) + ": no signature follows");
      return false;
    }
    SignedRotation step;
    step.text = std::string(file.substr(lines[first].begin, lines[i].begin - lines[first].begin));
    step.signature = std::string(file.substr(lines[i].begin, lines[i + 3].next - lines[i].begin));
    read.push_back(std::move(step));
    i += 4;
  }
  steps = std::move(read);
  return true;
}

std::string rotationChainText(const std::vector<SignedRotation>& steps) {
  std::string out;
  for (const auto& step : steps) {
    out += step.text;
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += step.signature;
    if (!out.empty() && out.back() != '\n') out += '\n';
  }
  return out;
}

bool isTrusted(const TrustState& state, const KeyId& id) {
  return hasId(state.trusted, id) && !hasId(state.revoked, id);
}

std::optional<TrustState> followRotations(const TrustState& state, const std::vector<SignedRotation>& steps,
                                          std::string* reason) {
  TrustState current = state;
  for (std::size_t n = 0; n < steps.size(); ++n) {
    const std::string where = "key rotation step " + std::to_string(n + 1) + ": ";
    std::string why;
    auto rotation = parseRotation(steps[n].text, &why);
    if (!rotation) {
      setReason(reason, where + why);
      return std::nullopt;
    }
    if (rotation->sequence <= current.sequence) continue;  // applied before
    if (rotation->sequence != current.sequence + 1) {
      setReason(reason, where + "sequence " + std::to_string(rotation->sequence) + " does not follow " +
                            std::to_string(current.sequence));
      return std::nullopt;
    }
    auto sig = parseSignatureFile(steps[n].signature, &why);
    if (!sig) {
      setReason(reason, where + why);
      return std::nullopt;
    }
    if (sig->trustedComment != rotationComment(rotation->sequence)) {
      setReason(reason,
                where + "the signature's trusted comment is not \"" + rotationComment(rotation->sequence) + "\"");
      return std::nullopt;
    }
    if (hasId(current.revoked, sig->keyId)) {
      setReason(reason, where + "signed by key " + keyIdText(sig->keyId) + ", which is revoked");
      return std::nullopt;
    }
    switch (verifySignature(steps[n].text, *sig, current.trusted)) {
      case Verdict::Valid:
        break;
      case Verdict::UnknownKey:
        setReason(reason, where + "signed by key " + keyIdText(sig->keyId) + ", which is not trusted");
        return std::nullopt;
      case Verdict::BadSignature:
      case Verdict::BadTrustedComment:
        setReason(reason, where + "the signature does not match");
        return std::nullopt;
    }
    for (const auto& key : rotation->revoke) {
      std::erase_if(current.trusted, [&](const PublicKey& k) { return k.id == key.id; });
      if (!hasId(current.revoked, key.id)) current.revoked.push_back(key);
    }
    for (const auto& key : rotation->trust) {
      if (hasId(current.revoked, key.id)) {
        setReason(reason, where + "it trusts key " + keyIdText(key.id) + ", which is revoked");
        return std::nullopt;
      }
      auto same = std::find_if(current.trusted.begin(), current.trusted.end(),
                               [&](const PublicKey& k) { return k.id == key.id; });
      if (same != current.trusted.end()) {
        if (same->key != key.key) {
          setReason(reason, where + "it trusts a second key under the id " + keyIdText(key.id));
          return std::nullopt;
        }
        continue;
      }
      current.trusted.push_back(key);
    }
    if (current.trusted.empty()) {
      setReason(reason, where + "it leaves no key trusted");
      return std::nullopt;
    }
    if (current.trusted.size() > kMaxTrustedKeys || current.revoked.size() > kMaxTrustedKeys) {
      setReason(reason, where + "more than " + std::to_string(kMaxTrustedKeys) + " keys");
      return std::nullopt;
    }
    current.sequence = rotation->sequence;
  }
  return current;
}

std::string trustStateText(const TrustState& state) {
  return listingText(kTrustMagic, state.sequence, state.trusted, state.revoked);
}

std::optional<TrustState> parseTrustState(std::string_view text, std::string* reason) {
  TrustState state;
  std::string why;
  if (!parseListing(text, kTrustMagic, 2 * kMaxTrustedKeys, state.sequence, state.trusted, state.revoked, &why)) {
    setReason(reason, "not a trust state: " + why);
    return std::nullopt;
  }
  for (const auto& key : state.trusted) {
    if (hasId(state.revoked, key.id)) {
      setReason(reason, "not a trust state: key " + keyIdText(key.id) + " is both trusted and revoked");
      return std::nullopt;
    }
  }
  return state;
}

SignedRotation signRotation(const SecretKey& key, const Rotation& rotation) {
  SignedRotation step;
  step.text = rotationText(rotation);
  step.signature =
      signMessage(key, step.text, rotationComment(rotation.sequence), "signature from kvpublish secret key");
  return step;
}

}  // namespace kv::signing
