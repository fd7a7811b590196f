#pragma once
// Ed25519 signatures in the minisign format, so that operators sign releases
// with the minisign program or with kvpublish and either verifies the other.
//
// Formats (all text, "\n" or "\r\n" line ends):
// - public key: "untrusted comment: ..." then base64 of "Ed" + 8-byte key id
//   + 32-byte Ed25519 public key (56 characters);
// - signature: "untrusted comment: ..." line, base64 of "ED" (Ed25519 over
//   the BLAKE2b-512 hash of the message) or "Ed" (legacy: over the message
//   itself) + key id + 64-byte signature (100 characters), a
//   "trusted comment: ..." line, and base64 of the 64-byte global signature
//   over signature || trusted comment (88 characters);
// - secret key: "untrusted comment: ..." then base64 of "Ed" + KDF ("Sc" for
//   scrypt, two zero bytes for none) + "B2" + 32-byte salt + ops and memory
//   limits (8 bytes each, little-endian) + key id + 64-byte secret key +
//   32-byte BLAKE2b-256 checksum, the last three XORed with the scrypt stream
//   of the password when encrypted.
// Everything read here may come from a hostile server or file: sizes are
// bounded, lengths exact, base64 strict, and every refusal says why.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::signing {

using KeyId = std::array<std::uint8_t, 8>;

struct PublicKey {
  KeyId id{};
  std::array<std::uint8_t, 32> key{};
  bool operator==(const PublicKey&) const = default;
};

// A key id as minisign prints it: 16 upper-case hex digits of the id read
// as a little-endian number.
std::string keyIdText(const KeyId& id);

// One key line: base64 of "Ed" + key id + key (the second line of a minisign
// ".pub" file). Surrounding blanks are ignored.
std::optional<PublicKey> parsePublicKeyLine(std::string_view line, std::string* reason = nullptr);
std::string publicKeyLine(const PublicKey& key);

// The largest trusted-keys file and the most keys it may hold.
inline constexpr std::size_t kMaxTrustedKeysBytes = 64 * 1024;
inline constexpr std::size_t kMaxTrustedKeys = 256;

// A trusted-keys file: one key line a line, '#' comments and blank lines
// skipped. A malformed line, a repeated key id, too many keys or a file over
// the bound is an error (the reason names the line); keys is left as it was.
bool readTrustedKeys(std::string_view text, std::vector<PublicKey>& keys, std::string* reason = nullptr);

// The largest signature file read.
inline constexpr std::size_t kMaxSignatureFileBytes = 4096;

struct SignatureFile {
  KeyId keyId{};
  bool prehashed = true;  // "ED"; false for the legacy "Ed"
  std::array<std::uint8_t, 64> signature{};
  std::string trustedComment;  // the text after "trusted comment: "
  std::array<std::uint8_t, 64> globalSignature{};
};

std::optional<SignatureFile> parseSignatureFile(std::string_view text, std::string* reason = nullptr);

enum class Verdict { Valid, UnknownKey, BadSignature, BadTrustedComment };

// Checks message against sig with the trusted key whose id it names: the
// signature of the message, then the global signature that binds the trusted
// comment to it.
Verdict verifySignature(std::string_view message, const SignatureFile& sig, const std::vector<PublicKey>& trusted);

// A secret key, the 64-byte libsodium form (seed followed by public key).
struct SecretKey {
  KeyId id{};
  std::array<std::uint8_t, 64> key{};
};

// The largest secret key file read, and the most memory its scrypt
// parameters may ask for (minisign's own keys use 1 GiB).
inline constexpr std::size_t kMaxSecretKeyFileBytes = 4096;
inline constexpr std::uint64_t kMaxScryptMemory = std::uint64_t{1} << 30;

// Reads a minisign secret key file, decrypting it with password when it is
// encrypted (an unencrypted key ignores the password). A wrong password is
// told by the checksum.
bool readSecretKey(std::string_view text, std::string_view password, SecretKey& key, std::string* reason = nullptr);

// Whether a secret key file is encrypted (false also for a file that does not
// parse; readSecretKey then says why).
bool secretKeyIsEncrypted(std::string_view text);

// A whole prehashed signature file, as minisign -S writes it. Line breaks in
// the comments become spaces.
std::string signMessage(const SecretKey& key, std::string_view message, std::string_view trustedComment,
                        std::string_view untrustedComment);

PublicKey publicKeyOf(const SecretKey& key);

// A fresh key pair (tests and demos; operators make theirs with minisign -G).
SecretKey generateSecretKey();

}  // namespace kv::signing
