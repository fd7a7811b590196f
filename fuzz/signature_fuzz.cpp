// The signature, key, claim and key rotation readers on arbitrary bytes: no
// crash, and what they accept writes back to the same meaning (a release
// claim to the very same text). The first byte picks the reader.
#include <sodium.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "signing/key_rotation.h"
#include "signing/minisign.h"
#include "signing/release_claim.h"

namespace sg = kv::signing;

namespace {

// One fixed key, so that a signature found by the fuzzer can name it.
const sg::SecretKey& fixedKey() {
  static const sg::SecretKey key = [] {
    sg::SecretKey k;
    for (std::size_t i = 0; i < k.id.size(); ++i) k.id[i] = static_cast<std::uint8_t>(i + 1);
    std::array<std::uint8_t, 32> pub{};
    std::array<std::uint8_t, 32> seed{};
    seed.fill(7);
    crypto_sign_seed_keypair(pub.data(), k.key.data(), seed.data());
    return k;
  }();
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(kv::fuzz::asText(data + 1, size - 1));
  const std::vector<sg::PublicKey> trusted{sg::publicKeyOf(fixedKey())};
  std::string reason;
  switch (data[0] % 5) {
    case 0: {
      auto sig = sg::parseSignatureFile(text, &reason);
      if (!sig) {
        if (reason.empty()) kv::fuzz::fail("a refused signature file without a reason");
        break;
      }
      (void)sg::verifySignature(text, *sig, trusted);
      break;
    }
    case 1: {
      auto claim = sg::parseReleaseClaim(text, &reason);
      if (claim && sg::releaseClaimText(*claim) != text) kv::fuzz::fail("a claim reads back differently", text);
      if (!claim && reason.empty()) kv::fuzz::fail("a refused claim without a reason");
      break;
    }
    case 2: {
      std::vector<sg::PublicKey> keys;
      if (sg::readTrustedKeys(text, keys, &reason)) {
        std::string again;
        for (const auto& key : keys) again += sg::publicKeyLine(key) + "\n";
        std::vector<sg::PublicKey> reread;
        if (!sg::readTrustedKeys(again, reread) || reread != keys) kv::fuzz::fail("trusted keys read back differently");
      } else if (reason.empty()) {
        kv::fuzz::fail("refused trusted keys without a reason");
      }
      break;
    }
    case 3: {
      std::vector<sg::SignedRotation> steps;
      if (sg::parseRotationChain(text, steps, &reason)) {
        std::vector<sg::SignedRotation> again;
        if (!sg::parseRotationChain(sg::rotationChainText(steps), again) || again.size() != steps.size()) {
          kv::fuzz::fail("a rotation chain reads back differently");
        }
        const sg::TrustState start{trusted, {}, 0};
        auto state = sg::followRotations(start, steps, &reason);
        if (state && state->trusted.empty()) kv::fuzz::fail("a chain left no key trusted");
      }
      if (auto state = sg::parseTrustState(text)) {
        if (sg::parseTrustState(sg::trustStateText(*state)) != state)
          kv::fuzz::fail("a trust state reads back differently");
      }
      break;
    }
    default: {
      // Only unencrypted keys: an encrypted one costs seconds of scrypt by design.
      if (sg::secretKeyIsEncrypted(text)) break;
      sg::SecretKey key;
      if (sg::readSecretKey(text, "", key, &reason)) {
        const std::string sig = sg::signMessage(key, text, "t", "u");
        auto parsed = sg::parseSignatureFile(sig);
        if (!parsed || sg::verifySignature(text, *parsed, {sg::publicKeyOf(key)}) != sg::Verdict::Valid) {
          kv::fuzz::fail("a key read from a file does not sign verifiably");
        }
      } else if (reason.empty()) {
        kv::fuzz::fail("a refused secret key without a reason");
      }
      break;
    }
  }
  return 0;
}
