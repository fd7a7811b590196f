#include "delta/chunker.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/sha256.h"
#include "support/temp_dir.h"

namespace kv::delta {
namespace {

// Reproducible incompressible bytes.
std::vector<std::uint8_t> noise(std::size_t size, std::uint64_t seed) {
  const std::string bytes = kv::test::noiseBytes(size, seed);
  return {bytes.begin(), bytes.end()};
}

constexpr ChunkParams kSmall{256, 1024, 4096};

std::string hexOf(const ChunkHash& hash) { return platform::hexOfBytes(hash.data(), hash.size()); }

TEST(Chunker, StreamedInAnyPiecesCutsAsWholeWithinBounds) {
  const auto data = noise(300'000, 1);
  const auto whole = chunkBytes(kSmall, data.data(), data.size());
  ASSERT_GT(whole.size(), 100u);
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    const Chunk& c = whole[i];
    EXPECT_EQ(c.offset, offset);
    EXPECT_LE(c.length, kSmall.max);
    if (i + 1 < whole.size()) {
      EXPECT_GE(c.length, kSmall.min);
    }
    EXPECT_EQ(c.hash, chunkHashOf(data.data() + c.offset, c.length));
    offset += c.length;
  }
  EXPECT_EQ(offset, data.size());
  const double average = static_cast<double>(data.size()) / static_cast<double>(whole.size());
  EXPECT_GT(average, kSmall.avg * 0.7);
  EXPECT_LT(average, kSmall.avg * 1.5);

  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{255}, std::size_t{4096},
                                  std::size_t{4097}, std::size_t{65'539}}) {
    Chunker chunker(kSmall);
    std::vector<Chunk> streamed;
    const ChunkSink collect = [&](const Chunk& c) {
      EXPECT_EQ(chunkHashOf(chunker.emittedBytes(), c.length), c.hash);
      streamed.push_back(c);
    };
    for (std::size_t at = 0; at < data.size(); at += piece) {
      chunker.feed(data.data() + at, std::min(piece, data.size() - at), collect);
    }
    chunker.finish(collect);
    EXPECT_EQ(streamed, whole) << "pieces of " << piece;
  }
}

TEST(Chunker, ShortEmptyAndUniformStreams) {
  EXPECT_TRUE(chunkBytes(kSmall, nullptr, 0).empty());
  const auto shortData = noise(100, 2);
  const auto one = chunkBytes(kSmall, shortData.data(), shortData.size(), 5000);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].offset, 5000u);
  EXPECT_EQ(one[0].length, 100u);
  // Bytes that never match still cut at the maximum.
  const std::vector<std::uint8_t> zeros(10 * kSmall.max + 3, 0);
  const auto uniform = chunkBytes(kSmall, zeros.data(), zeros.size());
  for (std::size_t i = 0; i + 1 < uniform.size(); ++i) EXPECT_EQ(uniform[i].length, uniform[0].length);
  EXPECT_LE(uniform.size(), 11u * kSmall.max / kSmall.min);
}

// An edit changes the chunks around it only: the others come back, at
// their shifted offsets.
TEST(Chunker, BoundariesSurviveAnInsertionAndADeletion) {
  const auto original = noise(2'000'000, 3);
  auto edited = original;
  const auto inserted = noise(3000, 4);
  edited.insert(edited.begin() + 500'000, inserted.begin(), inserted.end());
  edited.erase(edited.begin() + 1'400'000, edited.begin() + 1'405'000);
  edited[1'800'000] ^= 0x55;
  for (const ChunkParams& params : {kSmall, kFineChunks, kCoarseChunks}) {
    const auto before = chunkBytes(params, original.data(), original.size());
    const auto after = chunkBytes(params, edited.data(), edited.size());
    std::set<ChunkHash> kept;
    for (const Chunk& c : after) kept.insert(c.hash);
    std::uint64_t lostBytes = 0;
    for (const Chunk& c : before) {
      if (!kept.count(c.hash)) lostBytes += c.length;
    }
    // Three edits, each costing at most the chunk it falls in and a neighbour.
    EXPECT_LE(lostBytes, 3u * 2 * params.max) << params.avg;
    EXPECT_LT(lostBytes, 3u * 4 * params.avg + 5000) << params.avg;
  }
}

// The cuts are part of the index format: the same bytes must give the same
// chunks in every build. These were computed once by this chunker.
TEST(Chunker, KnownVectors) {
  const auto data = noise(1 << 20, 5);
  const struct {
    ChunkParams params;
    std::size_t count;
    std::vector<std::uint32_t> firstLengths;
    std::string firstHash;
  } cases[] = {
      {kSmall, 895, {1051, 1246, 1870, 1113, 1430, 1123},
       "2abd4de1008146dd1eaffc4a68d0633a6476eee11917e15ee4fffa30a1b64e61"},
      {{2048, 8192, 32768}, 111, {8773, 14929, 10810, 8361, 10619, 9718},
       "c87162e2a7b1dfe6cc860c99ae8819b822bf8db72de07a51e76ecc5244b661b5"},
      {{65536, 262144, 1048576}, 4, {296781, 270718, 355405, 125672},
       "3c5e5baac401fe3481c9433003027ea89b21ff422247b59d07542ef1212eb84b"},
  };
  for (const auto& c : cases) {
    const auto chunks = chunkBytes(c.params, data.data(), data.size());
    std::vector<std::uint32_t> lengths;
    for (std::size_t i = 0; i < chunks.size() && i < 6; ++i) lengths.push_back(chunks[i].length);
    std::string all;
    for (const Chunk& chunk : chunks) all += hexOf(chunk.hash);
    EXPECT_EQ(chunks.size(), c.count);
    EXPECT_EQ(lengths, c.firstLengths);
    EXPECT_EQ(platform::sha256Hex(all.data(), all.size()), c.firstHash);
  }
}

TEST(Chunker, ParamsBounds) {
  const std::pair<ChunkParams, bool> cases[] = {
      {kCoarseChunks, true}, {kFineChunks, true}, {kSmall, true},
      {{128, 256, 257}, true}, {{127, 256, 1024}, false}, {{0, 256, 1024}, false},
      {{256, 256, 1024}, false}, {{256, 1000, 4096}, false}, {{256, 1024, 1024}, false},
      {{256, 1024, 512}, false}, {{1 << 20, 4 << 20, 16 << 20}, true}, {{1 << 20, 4 << 20, (16 << 20) + 1}, false},
      {{0xFFFFFFFF, 0x80000000, 0xFFFFFFFF}, false},
  };
  for (const auto& [params, valid] : cases) {
    EXPECT_EQ(chunkParamsValid(params), valid) << params.min << " " << params.avg << " " << params.max;
  }
}

}  // namespace
}  // namespace kv::delta
