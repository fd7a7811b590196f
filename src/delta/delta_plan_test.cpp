#include "delta/delta_plan.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::delta {
namespace {

ChunkHash hashOf(char name) {
  ChunkHash hash{};
  hash.fill(static_cast<std::uint8_t>(name));
  return hash;
}

// Chunks named by letters, each of the given length, laid end to end from 0.
std::vector<Chunk> chunksOf(const std::string& names, const std::vector<std::uint32_t>& lengths) {
  std::vector<Chunk> chunks;
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    chunks.push_back({at, lengths[i], hashOf(names[i])});
    at += lengths[i];
  }
  return chunks;
}

std::string describe(const DeltaPlan& plan) {
  std::string text;
  for (const CopyStep& copy : plan.copies) {
    text += "c" + std::to_string(copy.offset) + "<" + std::to_string(copy.from.source) + ":" +
            std::to_string(copy.from.offset) + " ";
  }
  for (const ByteRange& range : plan.fetches) {
    text += "f" + std::to_string(range.offset) + "+" + std::to_string(range.length) + " ";
  }
  return text;
}

// Which bytes are copied from where and which fetched, with a bridge of 10
// bytes. Source 0 holds chunks "abcdef" of 10 bytes each; source 1 (another
// file) holds "xy" of 20 bytes each, at offsets 0 and 20.
TEST(DeltaPlanTest, CopiesWhatIsLocalAndFetchesTheRestInFewRanges) {
  ChunkLookup local;
  for (const Chunk& chunk : chunksOf("abcdef", {10, 10, 10, 10, 10, 10})) local.add(0, chunk);
  for (const Chunk& chunk : chunksOf("xy", {20, 20})) local.add(1, chunk);
  local.add(1, Chunk{40, 10, hashOf('a')});  // a second place of "a": the first is kept
  struct Case {
    const char* label;
    std::string names;
    std::vector<std::uint32_t> lengths;
    std::string plan;
  };
  const Case cases[] = {
      {"unchanged", "abc", {10, 10, 10}, "c0<0:0 c10<0:10 c20<0:20 "},
      {"nothing local", "PQ", {10, 5}, "f0+15 "},
      {"one chunk changed", "aPc", {10, 10, 10}, "c0<0:0 c20<0:20 f10+10 "},
      {"neighbours merged", "aPQd", {10, 7, 9, 10}, "c0<0:0 c26<0:30 f10+16 "},
      {"a short local stretch is bridged", "PaQb", {5, 9, 5, 10}, "c19<0:10 f0+19 "},
      {"a stretch of the bridge's length is copied", "PaQ", {5, 10, 5}, "c5<0:0 f0+5 f15+5 "},
      {"another file is a source", "yaP", {20, 10, 3}, "c0<1:20 c20<0:0 f30+3 "},
      {"an edit at the start and the end", "PbcdeQ", {4, 10, 10, 10, 10, 4}, "c4<0:10 c14<0:20 c24<0:30 c34<0:40 f0+4 f44+4 "},
      {"same hash, other length: fetched", "a", {11}, "f0+11 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::vector<Chunk> target = chunksOf(c.names, c.lengths);
    const std::uint64_t size = target.back().offset + target.back().length;
    const std::optional<DeltaPlan> plan = planAssembly(target, size, local, 10);
    ASSERT_TRUE(plan);
    EXPECT_EQ(describe(*plan), c.plan);
    EXPECT_EQ(plan->copiedBytes + plan->fetchedBytes, size);
  }
}

// Chunks that do not lay the file out exactly are refused, never planned.
TEST(DeltaPlanTest, TargetsThatDoNotCoverTheFileAreRefused) {
  const ChunkLookup local;
  const ChunkHash h = hashOf('a');
  struct Case {
    const char* label;
    std::vector<Chunk> target;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"a gap", {{0, 10, h}, {12, 10, h}}, 22},
      {"an overlap", {{0, 10, h}, {8, 10, h}}, 18},
      {"short of the size", {{0, 10, h}}, 11},
      {"beyond the size", {{0, 10, h}, {10, 10, h}}, 15},
      {"an empty chunk", {{0, 0, h}, {0, 10, h}}, 10},
      {"not from 0", {{5, 10, h}}, 15},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(planAssembly(c.target, c.size, local, 10)) << c.label;
  }
  EXPECT_TRUE(planAssembly({}, 0, local, 10));  // an empty file is nothing to fetch
}

// The fine sections of the coarse chunks no local file holds, fetched in as
// few ranges as the bridge allows.
TEST(DeltaPlanTest, FineSectionsOfMissingChunksComeInMergedRanges) {
  IndexHead head;
  std::uint64_t fineAt = 0;
  const std::string names = "abcdefg";
  for (std::size_t i = 0; i < names.size(); ++i) {
    CoarseEntry entry;
    entry.offset = i * 100;
    entry.length = 100;
    entry.hash = hashOf(names[i]);
    entry.fineCount = 2;
    entry.fineOffset = fineAt;
    fineAt += fineSectionBytes(entry);
    head.chunks.push_back(entry);
  }
  const std::uint64_t section = fineSectionBytes(head.chunks[0]);
  ChunkLookup local;
  for (const char name : std::string("acdg")) local.add(0, Chunk{0, 100, hashOf(name)});
  const std::vector<std::size_t> missing = missingChunks(head, local);
  EXPECT_EQ(missing, (std::vector<std::size_t>{1, 4, 5}));
  EXPECT_EQ(fineSectionRanges(head, missing, 1),
            (std::vector<ByteRange>{{section, section}, {4 * section, 2 * section}}));
  // A gap of two sections is shorter than a bridge of 2 sections and one byte.
  EXPECT_EQ(fineSectionRanges(head, missing, 2 * section + 1), (std::vector<ByteRange>{{section, 5 * section}}));
}

}  // namespace
}  // namespace kv::delta
