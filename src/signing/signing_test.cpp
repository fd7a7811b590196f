#include <gtest/gtest.h>
#include <sodium.h>

#include <functional>

#include "signing/key_rotation.h"
#include "signing/minisign.h"
#include "signing/release_claim.h"
#include "signing/signing_text.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace kv::signing {
namespace {

const std::string kMessage = "{\"files\":[{\"path\":\"client.exe\",\"size\":12}]}\n";
const std::string kClaim = "kvrelease server=eu release=12 expires=2027-01-07T19:00:00Z";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::vector<std::string_view> views;
  splitLines(text, 100, views);
  for (auto v : views) out.emplace_back(v);
  return out;
}

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += p + "\n";
  return out;
}

std::vector<std::uint8_t> decoded(const std::string& base64, std::size_t bytes) {
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(decodeBase64Exact(base64, bytes, out)) << base64;
  return out;
}

// Replaces line `index` of a signature file.
std::string withLine(const std::string& sig, std::size_t index, const std::string& line) {
  auto parts = lines(sig);
  parts.resize(4);
  parts[index] = line;
  return join(parts);
}

// A signature file whose signature line carries other bytes.
std::string withSignatureBytes(const std::string& sig, const std::function<void(std::vector<std::uint8_t>&)>& change) {
  auto bytes = decoded(lines(sig)[1], 74);
  change(bytes);
  return withLine(sig, 1, encodeBase64(bytes));
}

// Ed25519 over the message itself, as minisign -l writes it.
std::string legacySignature(const SecretKey& key, const std::string& message, const std::string& trusted) {
  std::vector<std::uint8_t> sig{'E', 'd'};
  sig.insert(sig.end(), key.id.begin(), key.id.end());
  sig.resize(74);
  crypto_sign_detached(sig.data() + 10, nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                       key.key.data());
  std::string global(reinterpret_cast<const char*>(sig.data() + 10), 64);
  global += trusted;
  std::vector<std::uint8_t> globalSig(64);
  crypto_sign_detached(globalSig.data(), nullptr, reinterpret_cast<const unsigned char*>(global.data()), global.size(),
                       key.key.data());
  return "untrusted comment: legacy\n" + encodeBase64(sig) + "\ntrusted comment: " + trusted + "\n" +
         encodeBase64(globalSig) + "\n";
}

TEST(Signatures, HostileAndValidSignatureFiles) {
  const SecretKey key = generateSecretKey();
  const SecretKey other = generateSecretKey();
  const std::vector<PublicKey> trusted{publicKeyOf(other), publicKeyOf(key)};
  const std::string good = signMessage(key, kMessage, kClaim, "signed by the tests");
  std::string binary(300, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 37 + 11);

  struct Row {
    const char* name;
    std::string file;
    std::string message;
    // Either the parse refusal's words, or the verdict.
    const char* refusal;
    Verdict verdict;
  };
  const std::vector<Row> rows = {
      {"valid", good, kMessage, nullptr, Verdict::Valid},
      {"valid with CRLF",
       [&] {
         auto s = good;
         for (std::size_t p = 0; (p = s.find('\n', p)) != std::string::npos; p += 2) s.insert(p, "\r");
         return s;
       }(),
       kMessage, nullptr, Verdict::Valid},
      {"legacy", legacySignature(key, kMessage, kClaim), kMessage, nullptr, Verdict::Valid},
      {"legacy, other message", legacySignature(key, kMessage, kClaim), kMessage + " ", nullptr, Verdict::BadSignature},
      {"empty", "", kMessage, "four lines", Verdict::Valid},
      {"truncated to two lines", join({lines(good)[0], lines(good)[1]}), kMessage, "four lines", Verdict::Valid},
      {"truncated global signature", good.substr(0, good.size() - 10), kMessage, "global signature", Verdict::Valid},
      {"oversize", withLine(good, 0, "untrusted comment: " + std::string(4100, 'x')), kMessage, "larger than",
       Verdict::Valid},
      {"extra lines", good + "more\n", kMessage, "four lines", Verdict::Valid},
      {"binary garbage", binary, kMessage, "", Verdict::Valid},
      {"garbage base64", withLine(good, 1, std::string(100, '!')), kMessage, "not base64", Verdict::Valid},
      {"base64 with a blank inside", withLine(good, 1, lines(good)[1].substr(0, 50) + " " + lines(good)[1].substr(51)),
       kMessage, "not base64", Verdict::Valid},
      {"signature of 73 bytes", withLine(good, 1, encodeBase64(std::vector<std::uint8_t>(73, 'E'))), kMessage,
       "74 bytes", Verdict::Valid},
      {"signature of 75 bytes", withLine(good, 1, encodeBase64(std::vector<std::uint8_t>(75, 'E'))), kMessage,
       "74 bytes", Verdict::Valid},
      {"global signature of 63 bytes", withLine(good, 3, encodeBase64(std::vector<std::uint8_t>(63, 1))), kMessage,
       "64 bytes", Verdict::Valid},
      {"wrong algorithm", withSignatureBytes(good, [](auto& b) { b[1] = 'X'; }), kMessage, "not an Ed25519",
       Verdict::Valid},
      {"no untrusted comment", withLine(good, 0, "comment: x"), kMessage, "untrusted comment", Verdict::Valid},
      {"no trusted comment", withLine(good, 2, "trusted: " + kClaim), kMessage, "trusted comment", Verdict::Valid},
      {"tampered trusted comment",
       withLine(good, 2, "trusted comment: " + std::string(kClaim).replace(kClaim.find("12"), 2, "13")), kMessage,
       nullptr, Verdict::BadTrustedComment},
      {"signature of another message", good, kMessage + " ", nullptr, Verdict::BadSignature},
      {"legacy flag on a prehashed signature", withSignatureBytes(good, [](auto& b) { b[1] = 'd'; }), kMessage, nullptr,
       Verdict::BadSignature},
      {"unknown key id", withSignatureBytes(good, [](auto& b) { b[2] ^= 1; }), kMessage, nullptr, Verdict::UnknownKey},
      {"another trusted key's id",
       withSignatureBytes(good, [&](auto& b) { std::copy(other.id.begin(), other.id.end(), b.begin() + 2); }), kMessage,
       nullptr, Verdict::BadSignature},
      {"flipped signature bit", withSignatureBytes(good, [](auto& b) { b[40] ^= 4; }), kMessage, nullptr,
       Verdict::BadSignature},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string reason;
    auto sig = parseSignatureFile(row.file, &reason);
    if (row.refusal) {
      EXPECT_FALSE(sig);
      EXPECT_NE(reason.find(row.refusal), std::string::npos) << reason;
      EXPECT_FALSE(reason.empty());
      continue;
    }
    ASSERT_TRUE(sig) << reason;
    EXPECT_EQ(verifySignature(row.message, *sig, trusted), row.verdict);
  }
  auto sig = parseSignatureFile(good);
  ASSERT_TRUE(sig);
  EXPECT_EQ(sig->trustedComment, kClaim);
  EXPECT_EQ(verifySignature(kMessage, *sig, {publicKeyOf(other)}), Verdict::UnknownKey);
}

TEST(Signatures, KeyLinesAndTrustedKeyFiles) {
  const PublicKey a = publicKeyOf(generateSecretKey());
  const PublicKey b = publicKeyOf(generateSecretKey());
  auto parsed = parsePublicKeyLine("  " + publicKeyLine(a) + " ");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, a);

  struct Row {
    const char* name;
    std::string text;
    const char* refusal;  // nullptr: reads, giving a and b
  };
  std::vector<std::uint8_t> wrongAlgorithm = decoded(publicKeyLine(a), 42);
  wrongAlgorithm[1] = 'D';
  const std::vector<Row> rows = {
      {"comments, blanks, CRLF", "# release keys\n\n" + publicKeyLine(a) + "\r\n  # spare\n" + publicKeyLine(b),
       nullptr},
      {"a .pub's comment line", "untrusted comment: minisign public key\n" + publicKeyLine(a) + "\n", "line 1"},
      {"truncated key", publicKeyLine(a) + "\n" + publicKeyLine(b).substr(0, 40) + "\n", "line 2"},
      {"wrong algorithm", encodeBase64(wrongAlgorithm) + "\n", "not an Ed25519"},
      {"listed twice", publicKeyLine(a) + "\n" + publicKeyLine(a) + "\n", "twice"},
      {"oversize", std::string(kMaxTrustedKeysBytes + 1, '#'), "larger than"},
      {"too many keys",
       [] {
         std::string s;
         for (std::size_t i = 0; i <= kMaxTrustedKeys; ++i) s += publicKeyLine(publicKeyOf(generateSecretKey())) + "\n";
         return s;
       }(),
       "more than"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<PublicKey> keys{a};
    std::string reason;
    bool ok = readTrustedKeys(row.text, keys, &reason);
    if (!row.refusal) {
      ASSERT_TRUE(ok) << reason;
      EXPECT_EQ(keys, (std::vector<PublicKey>{a, b}));
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(reason.find(row.refusal), std::string::npos) << reason;
      EXPECT_EQ(keys, std::vector<PublicKey>{a});  // left as it was
    }
  }
}

TEST(Signatures, ReleaseClaims) {
  auto claim = parseReleaseClaim(kClaim);
  ASSERT_TRUE(claim);
  EXPECT_EQ(claim->server, "eu");
  EXPECT_EQ(claim->release, 12u);
  EXPECT_EQ(claim->expires, 1799348400);  // date -d 2027-01-07T19:00:00Z +%s
  EXPECT_EQ(releaseClaimText(*claim), kClaim);
  for (std::int64_t t : {0LL, 951782400LL, 4102444799LL, 253402300799LL}) {
    EXPECT_EQ(parseUtcTime(utcTimeText(t)), t) << utcTimeText(t);
  }
  EXPECT_EQ(utcTimeText(951782400), "2000-02-29T00:00:00Z");

  const std::vector<std::string> refused = {
      "",
      "kvrelease",
      "kvrelease server=eu release=12",
      "kvrelease server=eu release=12 expires=2027-01-07T19:00:00Z extra=1",
      "kvrelease server=eu server=us expires=2027-01-07T19:00:00Z",
      "kvrelease release=12 server=eu expires=2027-01-07T19:00:00Z",
      "kvrelease server=eu release=12 expires=2027-01-07T19:00:00Z ",
      "kvrelease server=eu  release=12 expires=2027-01-07T19:00:00Z",
      "kvrelease server= release=12 expires=2027-01-07T19:00:00Z",
      "kvrelease server=../eu release=12 expires=2027-01-07T19:00:00Z",
      "kvrelease server=" + std::string(65, 'e') + " release=12 expires=2027-01-07T19:00:00Z",
      "kvrelease server=eu release=012 expires=2027-01-07T19:00:00Z",
      "kvrelease server=eu release=-1 expires=2027-01-07T19:00:00Z",
      "kvrelease server=eu release=1000000000000000 expires=2027-01-07T19:00:00Z",
      "kvrelease server=eu release=99999999999999999999 expires=2027-01-07T19:00:00Z",
      "kvrelease server=eu release=12 expires=2027-02-29T19:00:00Z",
      "kvrelease server=eu release=12 expires=2027-01-07T24:00:00Z",
      "kvrelease server=eu release=12 expires=2027-01-07 19:00:00Z",
      "kvrelease server=eu release=12 expires=2027-01-07T19:00:00",
      "kvrelease server=eu release=12 expires=1969-12-31T23:59:59Z",
      "kvrotation sequence=1",
  };
  for (const auto& text : refused) {
    std::string reason;
    EXPECT_FALSE(parseReleaseClaim(text, &reason)) << text;
    EXPECT_FALSE(reason.empty()) << text;
  }
}

// ---- Interoperation with the minisign program ----

test::ProcessResult run(const std::string& shell, const std::string& folder) {
  test::ChildOptions options;
  options.argv = {"sh", "-c", shell};
  options.workingDirectory = folder;
  options.captureOutput = true;
  options.captureErrors = true;
  return test::runProcess(options, 120000);
}

TEST(SignaturesWithMinisign, KvSignsMinisignVerifies) {
  test::TempDir dir;
  const SecretKey key = generateSecretKey();
  test::writeFile(dir / "manifest.json", kMessage);
  test::writeFile(dir / "manifest.json.minisig", signMessage(key, kMessage, kClaim, "kvpublish"));
  auto result = run("minisign -V -H -P " + publicKeyLine(publicKeyOf(key)) + " -m manifest.json", dir.path());
  EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
  EXPECT_NE(result.output.find("Trusted comment: " + kClaim), std::string::npos) << result.output;

  test::writeFile(dir / "manifest.json", kMessage + "x");
  result = run("minisign -V -P " + publicKeyLine(publicKeyOf(key)) + " -m manifest.json", dir.path());
  EXPECT_NE(result.exitCode, 0) << "minisign accepted a signature of another message";
}

TEST(SignaturesWithMinisign, MinisignKeysAndSignaturesReadByKv) {
  test::TempDir dir;
  test::writeFile(dir / "manifest.json", kMessage);
  // Unencrypted (-W) and password-protected keys, made by minisign.
  auto made =
      run("minisign -G -W -p plain.pub -s plain.key && printf 'pass phrase\\npass phrase\\n' | "
          "minisign -G -p enc.pub -s enc.key",
          dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.output << made.errors;

  for (const std::string name : {"plain", "enc"}) {
    SCOPED_TRACE(name);
    auto pubLines = lines(test::readFile(dir / (name + ".pub")));
    ASSERT_GE(pubLines.size(), 2u);
    auto pub = parsePublicKeyLine(pubLines[1]);
    ASSERT_TRUE(pub);
    const std::string keyText = test::readFile(dir / (name + ".key"));
    EXPECT_EQ(secretKeyIsEncrypted(keyText), name == "enc");

    SecretKey key;
    std::string reason;
    ASSERT_TRUE(readSecretKey(keyText, name == "enc" ? "pass phrase" : "", key, &reason)) << reason;
    EXPECT_EQ(publicKeyOf(key), *pub);
    if (name == "enc") {
      EXPECT_FALSE(readSecretKey(keyText, "pass phrasE", key, &reason));
      EXPECT_NE(reason.find("wrong password"), std::string::npos) << reason;
    }

    // minisign signs with a claim (prehashed and legacy), kv verifies.
    const std::string input = name == "enc" ? "printf 'pass phrase\\n' | " : "";
    // (The legacy form once: each signature with the encrypted key costs seconds of scrypt.)
    for (const std::string& legacy :
         name == "enc" ? std::vector<std::string>{""} : std::vector<std::string>{"", " -l"}) {
      auto signedBy =
          run(input + "minisign -S" + legacy + " -s " + name + ".key -m manifest.json -t '" + kClaim + "'", dir.path());
      ASSERT_EQ(signedBy.exitCode, 0) << signedBy.output << signedBy.errors;
      auto sig = parseSignatureFile(test::readFile(dir / "manifest.json.minisig"), &reason);
      ASSERT_TRUE(sig) << reason;
      EXPECT_EQ(sig->prehashed, legacy.empty());
      EXPECT_EQ(verifySignature(kMessage, *sig, {*pub}), Verdict::Valid);
      EXPECT_EQ(verifySignature(kMessage + "\n", *sig, {*pub}), Verdict::BadSignature);
      EXPECT_EQ(parseReleaseClaim(sig->trustedComment), parseReleaseClaim(kClaim));
    }

    // A damaged key file and hostile password hashing parameters.
    auto bytes = decoded(std::string(trimBlanks(lines(keyText)[1])), 158);
    auto damaged = bytes;
    damaged[54 + 20] ^= 1;
    EXPECT_FALSE(readSecretKey("untrusted comment: x\n" + encodeBase64(damaged) + "\n", "pass phrase", key, &reason));
    EXPECT_FALSE(reason.empty());
    if (name == "enc") {
      auto greedy = bytes;
      greedy[46 + 5] = 1;  // memory limit 2^40
      greedy[38 + 5] = 1;  // and work to match
      EXPECT_FALSE(readSecretKey("untrusted comment: x\n" + encodeBase64(greedy) + "\n", "pass phrase", key, &reason));
      EXPECT_NE(reason.find("memory"), std::string::npos) << reason;
    }
  }

  // Hostile key files.
  SecretKey key;
  for (const std::string& text :
       {std::string(), std::string("untrusted comment: x\nRWQAAEIy\n"),
        "untrusted comment: x\n" + std::string(5000, 'A') + "\n",
        "untrusted comment: x\n" + encodeBase64(std::vector<std::uint8_t>(158, 'E')) + "\n"}) {
    std::string reason;
    EXPECT_FALSE(readSecretKey(text, "", key, &reason)) << text.substr(0, 60);
    EXPECT_FALSE(reason.empty());
  }
}

// ---- Key rotation ----

struct RotationKeys {
  SecretKey one = generateSecretKey(), two = generateSecretKey(), three = generateSecretKey(),
            stranger = generateSecretKey();
  PublicKey pub(const SecretKey& k) const { return publicKeyOf(k); }
};

TEST(KeyRotation, ChainsFollowedAndRefused) {
  RotationKeys k;
  const TrustState start{{k.pub(k.one)}, {}, 0};
  // 1 -> 2 -> 3, each step signed by the key it replaces, which it revokes.
  const SignedRotation toTwo = signRotation(k.one, {1, {k.pub(k.two)}, {k.pub(k.one)}});
  const SignedRotation toThree = signRotation(k.two, {2, {k.pub(k.three)}, {k.pub(k.two)}});
  const TrustState atThree{{k.pub(k.three)}, {k.pub(k.one), k.pub(k.two)}, 2};

  auto tampered = toThree;
  tampered.text.insert(tampered.text.find("trust "), "trust " + publicKeyLine(k.pub(k.stranger)) + "\n");
  auto wrongComment = toThree;
  wrongComment.signature = signMessage(k.two, toThree.text, rotationComment(3), "x");
  auto releaseSigned = toThree;
  releaseSigned.signature = signMessage(k.two, toThree.text, kClaim, "x");

  struct Row {
    const char* name;
    TrustState from;
    std::vector<SignedRotation> chain;
    std::optional<TrustState> result;
    const char* refusal;
  };
  const std::vector<Row> rows = {
      {"1 -> 2 -> 3", start, {toTwo, toThree}, atThree, nullptr},
      {"followed again: nothing changes", atThree, {toTwo, toThree}, atThree, nullptr},
      {"no steps", start, {}, start, nullptr},
      {"a spare key stays",
       {{k.pub(k.one), k.pub(k.stranger)}, {}, 0},
       {toTwo},
       TrustState{{k.pub(k.stranger), k.pub(k.two)}, {k.pub(k.one)}, 1},
       nullptr},
      {"signed by a revoked key",
       start,
       {toTwo, signRotation(k.one, {2, {k.pub(k.three)}, {}})},
       std::nullopt,
       "revoked"},
      {"signed by an unknown key",
       start,
       {signRotation(k.stranger, {1, {k.pub(k.stranger)}, {}})},
       std::nullopt,
       "not trusted"},
      {"a gap in the sequence", start, {toThree}, std::nullopt, "does not follow"},
      {"changed after signing", start, {toTwo, tampered}, std::nullopt, "does not match"},
      {"signature moved to another step", start, {toTwo, wrongComment}, std::nullopt, "trusted comment"},
      {"a release signature over a rotation", start, {toTwo, releaseSigned}, std::nullopt, "trusted comment"},
      {"a revoked key trusted again",
       atThree,
       {signRotation(k.three, {3, {k.pub(k.one)}, {}})},
       std::nullopt,
       "revoked"},
      {"no key left", start, {signRotation(k.one, {1, {}, {k.pub(k.one)}})}, std::nullopt, "no key"},
      {"signature garbage", start, {{toTwo.text, "untrusted comment: x\n"}}, std::nullopt, "four lines"},
      {"not a rotation", start, {{"kvrelease sequence=1\n", toTwo.signature}}, std::nullopt, "not a key rotation"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string reason;
    auto result = followRotations(row.from, row.chain, &reason);
    EXPECT_EQ(result, row.result) << reason;
    if (row.refusal) {
      EXPECT_NE(reason.find(row.refusal), std::string::npos) << reason;
    }
  }
  EXPECT_TRUE(isTrusted(atThree, k.three.id));
  EXPECT_FALSE(isTrusted(atThree, k.one.id));

  // The chain file and the persisted state, through their text forms.
  std::vector<SignedRotation> steps;
  std::string reason;
  ASSERT_TRUE(parseRotationChain("\n" + rotationChainText({toTwo, toThree}) + "\n", steps, &reason)) << reason;
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(followRotations(start, steps), atThree);
  EXPECT_EQ(parseTrustState(trustStateText(atThree)), atThree);

  for (const std::string& file : {rotationChainText({toTwo}).substr(0, toTwo.text.size() + 30),
                                  "garbage\n" + rotationChainText({toTwo}), std::string(kMaxRotationBytes + 1, '\n')}) {
    EXPECT_FALSE(parseRotationChain(file, steps, &reason));
    EXPECT_FALSE(reason.empty());
  }
  for (const std::string& text : {std::string("kvrotation sequence=0\ntrust ") + publicKeyLine(k.pub(k.two)) + "\n",
                                  std::string("kvrotation sequence=1\n"),
                                  std::string("kvrotation sequence=1\nadd ") + publicKeyLine(k.pub(k.two)) + "\n",
                                  std::string("kvrotation sequence=01\ntrust ") + publicKeyLine(k.pub(k.two)) + "\n"}) {
    EXPECT_FALSE(parseRotation(text, &reason)) << text;
  }
  EXPECT_FALSE(parseTrustState(
      "kvtrust sequence=1\ntrust " + publicKeyLine(k.pub(k.one)) + "\nrevoke " + publicKeyLine(k.pub(k.one)) + "\n",
      &reason));
}

TEST(SignaturesWithMinisign, RotationSignedByMinisign) {
  test::TempDir dir;
  RotationKeys k;
  auto made = run("minisign -G -W -p old.pub -s old.key", dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.errors;
  auto old = parsePublicKeyLine(lines(test::readFile(dir / "old.pub"))[1]);
  ASSERT_TRUE(old);
  const std::string step = rotationText({1, {k.pub(k.two)}, {*old}});
  test::writeFile(dir / "step", step);
  auto signedBy = run("minisign -S -s old.key -m step -t '" + rotationComment(1) + "'", dir.path());
  ASSERT_EQ(signedBy.exitCode, 0) << signedBy.errors;
  std::vector<SignedRotation> steps;
  std::string reason;
  ASSERT_TRUE(parseRotationChain(step + test::readFile(dir / "step.minisig"), steps, &reason)) << reason;
  auto state = followRotations({{*old}, {}, 0}, steps, &reason);
  ASSERT_TRUE(state) << reason;
  EXPECT_EQ(state->trusted, std::vector<PublicKey>{k.pub(k.two)});
}

}  // namespace
}  // namespace kv::signing
