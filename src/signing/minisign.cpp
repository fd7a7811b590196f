#include "signing/minisign.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "signing/signing_text.h"

namespace kv::signing {
namespace {

constexpr std::size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr std::size_t kSignatureBytes = 2 + 8 + 64;
constexpr std::size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

void setReason(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
}

std::uint64_t loadLittleEndian64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// Ed25519 over the BLAKE2b-512 hash of the message, as minisign's "ED".
std::array<std::uint8_t, 64> prehash(std::string_view message) {
  std::array<std::uint8_t, 64> hash{};
  crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                     nullptr, 0);
  return hash;
}

// The key file's one base64 line after its untrusted comment: the lines of a
// ".pub", ".key" file (comment, data, nothing else but blank lines).
std::optional<std::string_view> keyFileData(std::string_view text, std::string* reason) {
  std::vector<std::string_view> lines;
  if (!splitLines(text, 8, lines)) {
    setReason(reason, "too many lines");
    return std::nullopt;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() != 2) {
    setReason(reason, "not two lines (an untrusted comment and the key)");
    return std::nullopt;
  }
  if (!lines[0].starts_with(kUntrustedPrefix)) {
    setReason(reason, "the first line is not an untrusted comment");
    return std::nullopt;
  }
  return lines[1];
}

}  // namespace

void ensureSodium() {
  static const int status = sodium_init();
  if (status < 0) throw std::runtime_error("libsodium could not be initialised");
}

std::string keyIdText(const KeyId& id) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(loadLittleEndian64(id.data())));
  return text;
}

std::optional<PublicKey> parsePublicKeyLine(std::string_view line, std::string* reason) {
  line = trimBlanks(line);
  std::vector<std::uint8_t> bytes;
  if (!decodeBase64Exact(line, kPublicKeyBytes, bytes)) {
    setReason(reason, "not a public key (base64 of 42 bytes)");
    return std::nullopt;
  }
  if (bytes[0] != 'E' || bytes[1] != 'd') {
    setReason(reason, "not an Ed25519 public key");
    return std::nullopt;
  }
  PublicKey key;
  std::copy_n(bytes.begin() + 2, 8, key.id.begin());
  std::copy_n(bytes.begin() + 10, 32, key.key.begin());
  return key;
}

std::string publicKeyLine(const PublicKey& key) {
  std::vector<std::uint8_t> bytes(kPublicKeyBytes);
  bytes[0] = 'E';
  bytes[1] = 'd';
  std::copy_n(key.id.begin(), key.id.size(), bytes.begin() + 2);
  std::copy_n(key.key.begin(), key.key.size(), bytes.begin() + 10);
  return encodeBase64(bytes);
}

bool readTrustedKeys(std::string_view text, std::vector<PublicKey>& keys, std::string* reason) {
  if (text.size() > kMaxTrustedKeysBytes) {
    setReason(reason, "the trusted keys file is larger than " + std::to_string(kMaxTrustedKeysBytes) + " bytes");
    return false;
  }
  std::vector<std::string_view> lines;
  splitLines(text, kMaxTrustedKeysBytes, lines);
  std::vector<PublicKey> read;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = trimBlanks(lines[i]);
    if (line.empty() || line.front() == '#') continue;
    std::string why;
    auto key = parsePublicKeyLine(line, &why);
    if (!key) {
      setReason(reason, "line " + std::to_string(i + 1) + ": " + why);
      return false;
    }
    if (std::any_of(read.begin(), read.end(), [&](const PublicKey& k) { return k.id == key->id; })) {
      setReason(reason, "line " + std::to_string(i + 1) + ": key " + keyIdText(key->id) + " is listed twice");
      return false;
    }
    if (read.size() == kMaxTrustedKeys) {
      setReason(reason, "more than " + std::to_string(kMaxTrustedKeys) + " keys");
      return false;
    }
    read.push_back(*key);
  }
  keys = std::move(read);
  return true;
}

std::optional<SignatureFile> parseSignatureFile(std::string_view text, std::string* reason) {
  if (text.size() > kMaxSignatureFileBytes) {
    setReason(reason, "the signature file is larger than " + std::to_string(kMaxSignatureFileBytes) + " bytes");
    return std::nullopt;
  }
  std::vector<std::string_view> lines;
  if (!splitLines(text, 8, lines)) {
    setReason(reason, "the signature file has too many lines");
    return std::nullopt;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() != 4) {
    setReason(reason, "the signature file does not have four lines");
    return std::nullopt;
  }
  if (!lines[0].starts_with(kUntrustedPrefix)) {
    setReason(reason, "the first line of the signature file is not an untrusted comment");
    return std::nullopt;
  }
  if (!lines[2].starts_with(kTrustedPrefix)) {
    setReason(reason, "the third line of the signature file is not a trusted comment");
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  if (!decodeBase64Exact(lines[1], kSignatureBytes, bytes)) {
    setReason(reason, "the signature is not base64 of 74 bytes");
    return std::nullopt;
  }
  SignatureFile sig;
  if (bytes[0] == 'E' && bytes[1] == 'D') {
    sig.prehashed = true;
  } else if (bytes[0] == 'E' && bytes[1] == 'd') {
    sig.prehashed = false;
  } else {
    setReason(reason, "the signature is not an Ed25519 signature");
    return std::nullopt;
  }
  std::copy_n(bytes.begin() + 2, 8, sig.keyId.begin());
  std::copy_n(bytes.begin() + 10, 64, sig.signature.begin());
  std::vector<std::uint8_t> global;
  if (!decodeBase64Exact(lines[3], 64, global)) {
    setReason(reason, "the global signature is not base64 of 64 bytes");
    return std::nullopt;
  }
  std::copy_n(global.begin(), 64, sig.globalSignature.begin());
  sig.trustedComment = std::string(lines[2].substr(kTrustedPrefix.size()));
  return sig;
}

Verdict verifySignature(std::string_view message, const SignatureFile& sig, const std::vector<PublicKey>& trusted) {
  ensureSodium();
  auto key = std::find_if(trusted.begin(), trusted.end(), [&](const PublicKey& k) { return k.id == sig.keyId; });
  if (key == trusted.end()) return Verdict::UnknownKey;
  int status;
  if (sig.prehashed) {
    auto hash = prehash(message);
    status = crypto_sign_verify_detached(sig.signature.data(), hash.data(), hash.size(), key->key.data());
  } else {
    status = crypto_sign_verify_detached(sig.signature.data(), reinterpret_cast<const unsigned char*>(message.data()),
                                         message.size(), key->key.data());
  }
  if (status != 0) return Verdict::BadSignature;
  std::string signedComment(reinterpret_cast<const char*>(sig.signature.data()), sig.signature.size());
  signedComment += sig.trustedComment;
  if (crypto_sign_verify_detached(sig.globalSignature.data(),
                                  reinterpret_cast<const unsigned char*>(signedComment.data()), signedComment.size(),
                                  key->key.data()) != 0) {
    return Verdict::BadTrustedComment;
  }
  return Verdict::Valid;
}

namespace {

// libsodium's mapping of scrypt's ops and memory limits to N, r and p (what
// the high-level call does), so that the cost is checked before it is paid.
bool scryptParameters(std::uint64_t opslimit, std::uint64_t memlimit, std::uint32_t& logN, std::uint32_t& r,
                      std::uint32_t& p) {
  if (opslimit < 32768) opslimit = 32768;
  r = 8;
  std::uint64_t maxN;
  if (opslimit < memlimit / 32) {
    p = 1;
    maxN = opslimit / (r * 4);
    for (logN = 1; logN < 63; ++logN) {
      if ((std::uint64_t{1} << logN) > maxN / 2) break;
    }
  } else {
    maxN = memlimit / (std::uint64_t{r} * 128);
    for (logN = 1; logN < 63; ++logN) {
      if ((std::uint64_t{1} << logN) > maxN / 2) break;
    }
    std::uint64_t maxrp = (opslimit / 4) / (std::uint64_t{1} << logN);
    if (maxrp > 0x3fffffff) maxrp = 0x3fffffff;
    p = static_cast<std::uint32_t>(maxrp) / r;
  }
  // Memory is 128 * r * N (and 128 * r * p); work grows with N * p.
  if (logN > 30 || p == 0 || p > 64) return false;
  return (std::uint64_t{128} * r << logN) <= kMaxScryptMemory;
}

struct SecretKeyFields {
  bool encrypted = false;
  std::array<std::uint8_t, 32> salt{};
  std::uint64_t opslimit = 0;
  std::uint64_t memlimit = 0;
  std::array<std::uint8_t, 104> keynumSk{};  // key id, secret key, checksum
};

std::optional<SecretKeyFields> parseSecretKeyFields(std::string_view text, std::string* reason) {
  if (text.size() > kMaxSecretKeyFileBytes) {
    setReason(reason, "the secret key file is larger than " + std::to_string(kMaxSecretKeyFileBytes) + " bytes");
    return std::nullopt;
  }
  std::string why;
  auto data = keyFileData(text, &why);
  if (!data) {
    setReason(reason, "not a minisign secret key: " + why);
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  if (!decodeBase64Exact(trimBlanks(*data), kSecretKeyBytes, bytes)) {
    setReason(reason, "not a minisign secret key: not base64 of 158 bytes");
    return std::nullopt;
  }
  if (bytes[0] != 'E' || bytes[1] != 'd') {
    setReason(reason, "not an Ed25519 secret key");
    return std::nullopt;
  }
  SecretKeyFields fields;
  if (bytes[2] == 'S' && bytes[3] == 'c') {
    fields.encrypted = true;
  } else if (bytes[2] != 0 || bytes[3] != 0) {
    setReason(reason, "the secret key is encrypted with an unknown method");
    return std::nullopt;
  }
  if (bytes[4] != 'B' || bytes[5] != '2') {
    setReason(reason, "the secret key has an unknown checksum method");
    return std::nullopt;
  }
  std::copy_n(bytes.begin() + 6, 32, fields.salt.begin());
  fields.opslimit = loadLittleEndian64(bytes.data() + 38);
  fields.memlimit = loadLittleEndian64(bytes.data() + 46);
  std::copy_n(bytes.begin() + 54, 104, fields.keynumSk.begin());
  sodium_memzero(bytes.data(), bytes.size());
  return fields;
}

}  // namespace

bool secretKeyIsEncrypted(std::string_view text) {
  auto fields = parseSecretKeyFields(text, nullptr);
  bool encrypted = fields && fields->encrypted;
  if (fields) sodium_memzero(fields->keynumSk.data(), fields->keynumSk.size());
  return encrypted;
}

bool readSecretKey(std::string_view text, std::string_view password, SecretKey& key, std::string* reason) {
  ensureSodium();
  auto fields = parseSecretKeyFields(text, reason);
  if (!fields) return false;
  auto& sealed = fields->keynumSk;
  if (fields->encrypted) {
    std::uint32_t logN = 0, r = 0, p = 0;
    if (!scryptParameters(fields->opslimit, fields->memlimit, logN, r, p)) {
      setReason(reason, "the secret key's password hashing asks for more than " +
                            std::to_string(kMaxScryptMemory >> 20) + " MiB of memory or too much work");
      return false;
    }
    std::array<std::uint8_t, 104> stream{};
    if (crypto_pwhash_scryptsalsa208sha256_ll(reinterpret_cast<const std::uint8_t*>(password.data()), password.size(),
                                              fields->salt.data(), fields->salt.size(), std::uint64_t{1} << logN, r, p,
                                              stream.data(), stream.size()) != 0) {
      setReason(reason, "the secret key's password could not be hashed (out of memory?)");
      return false;
    }
    for (std::size_t i = 0; i < sealed.size(); ++i) sealed[i] ^= stream[i];
    sodium_memzero(stream.data(), stream.size());
  }
  std::array<std::uint8_t, 32> checksum{};
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, checksum.size());
  const std::uint8_t algorithm[2] = {'E', 'd'};
  crypto_generichash_update(&state, algorithm, 2);
  crypto_generichash_update(&state, sealed.data(), 8 + 64);
  crypto_generichash_final(&state, checksum.data(), checksum.size());
  // minisign 0.11 leaves the checksum of an unencrypted key zero; the key's
  // public half, derived again from its seed, checks it instead.
  const bool noChecksum = !fields->encrypted && sodium_is_zero(sealed.data() + 72, 32);
  bool match = noChecksum || sodium_memcmp(checksum.data(), sealed.data() + 72, 32) == 0;
  if (match) {
    std::array<std::uint8_t, 32> pub{};
    std::array<std::uint8_t, 64> derived{};
    crypto_sign_seed_keypair(pub.data(), derived.data(), sealed.data() + 8);
    match = sodium_memcmp(pub.data(), sealed.data() + 8 + 32, 32) == 0;
    sodium_memzero(derived.data(), derived.size());
  }
  if (!match) {
    sodium_memzero(sealed.data(), sealed.size());
    setReason(reason, fields->encrypted ? "wrong password for the secret key (or a damaged key file)"
                                        : "the secret key's checksum does not match (a damaged key file)");
    return false;
  }
  std::copy_n(sealed.begin(), 8, key.id.begin());
  std::copy_n(sealed.begin() + 8, 64, key.key.begin());
  sodium_memzero(sealed.data(), sealed.size());
  return true;
}

std::string signMessage(const SecretKey& key, std::string_view message, std::string_view trustedComment,
                        std::string_view untrustedComment) {
  ensureSodium();
  std::string trusted = singleLine(trustedComment);
  std::vector<std::uint8_t> sig(kSignatureBytes);
  sig[0] = 'E';
  sig[1] = 'D';
  std::copy_n(key.id.begin(), key.id.size(), sig.begin() + 2);
  auto hash = prehash(message);
  crypto_sign_detached(sig.data() + 10, nullptr, hash.data(), hash.size(), key.key.data());
  std::string signedComment(reinterpret_cast<const char*>(sig.data() + 10), 64);
  signedComment += trusted;
  std::vector<std::uint8_t> global(64);
  crypto_sign_detached(global.data(), nullptr, reinterpret_cast<const unsigned char*>(signedComment.data()),
                       signedComment.size(), key.key.data());
  std::string out;
  out += kUntrustedPrefix;
  out += singleLine(untrustedComment);
  out += '\n';
  out += encodeBase64(sig);
  out += '\n';
  out += kTrustedPrefix;
  out += trusted;
  out += '\n';
  out += encodeBase64(global);
  out += '\n';
  return out;
}

PublicKey publicKeyOf(const SecretKey& key) {
  PublicKey pub;
  pub.id = key.id;
  std::copy_n(key.key.begin() + 32, 32, pub.key.begin());
  return pub;
}

SecretKey generateSecretKey() {
  ensureSodium();
  SecretKey key;
  std::array<std::uint8_t, 32> pub{};
  crypto_sign_keypair(pub.data(), key.key.data());
  randombytes_buf(key.id.data(), key.id.size());
  return key;
}

}  // namespace kv::signing
