#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::platform {
namespace {

// The FIPS 180-2 examples and the empty message, fed whole and in pieces
// of every size from 1 to 130 bytes.
TEST(Sha256, KnownDigestsInAnyPieces) {
  const struct {
    std::string message;
    std::string digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    for (std::size_t piece = 1; piece <= 130; piece += c.message.size() > 1000 ? 43 : 1) {
      Sha256 digest;
      for (std::size_t at = 0; at < c.message.size(); at += piece) {
        digest.add(c.message.data() + at, std::min(piece, c.message.size() - at));
      }
      EXPECT_EQ(digest.finishHex(), c.digest) << c.message.size() << " bytes in pieces of " << piece;
    }
  }
  // One object reused for every message, spent or not, gives the same digests as bytes.
  Sha256 reused;
  reused.add("left over", 9);
  for (const auto& c : cases) {
    reused.reset();
    reused.add(c.message.data(), c.message.size());
    std::array<std::uint8_t, 32> bytes{};
    ASSERT_TRUE(reused.finish(bytes));
    EXPECT_EQ(hexOfBytes(bytes.data(), bytes.size()), c.digest);
  }
}

}  // namespace
}  // namespace kv::platform
