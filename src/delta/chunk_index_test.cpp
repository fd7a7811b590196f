#include "delta/chunk_index.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include "support/temp_dir.h"

namespace kv::delta {
namespace {

// Reproducible incompressible bytes.
std::vector<std::uint8_t> noise(std::size_t size, std::uint64_t seed) {
  const std::string bytes = kv::test::noiseBytes(size, seed);
  return {bytes.begin(), bytes.end()};
}

constexpr ChunkParams kCoarse{1024, 4096, 16384};
constexpr ChunkParams kFine{128, 512, 2048};

void setU32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
void setU64(std::string& bytes, std::size_t at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
std::uint32_t getU32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}
std::size_t entryAt(std::size_t i) { return kHeadHeaderBytes + i * kCoarseEntryBytes; }

TEST(ChunkIndex, RoundTripMatchesTheChunkersAtBothLevels) {
  const auto data = noise(400'000, 7);
  const IndexFiles files = buildIndex(data.data(), data.size(), kCoarse, kFine);
  // Fed in pieces, the writer gives the same bytes, without helper threads,
  // with them, and with chunks now shared, now kept, for every file it is
  // given in turn.
  std::array<std::uint8_t, 32> sha{};
  sha.fill(0xAB);
  IndexFiles streamed;
  for (const unsigned helpers : {0u, 2u, 3u}) {
    int calls = 0;
    IndexWriter writer(kCoarse, kFine, helpers, [&calls, helpers] { return helpers == 2 || ++calls % 3 != 0; });
    for (int round = 0; round < 2; ++round) {
      for (std::size_t at = 0; at < data.size(); at += 9973) {
        writer.feed(data.data() + at, std::min<std::size_t>(9973, data.size() - at));
      }
      streamed = writer.finish(sha);
      EXPECT_EQ(streamed.fine, files.fine) << helpers << " helpers, round " << round;
      EXPECT_EQ(streamed.head.substr(kHeadHeaderBytes), files.head.substr(kHeadHeaderBytes))
          << helpers << " helpers, round " << round;
    }
  }
  // A writer given up part way stops its helpers.
  {
    IndexWriter writer(kCoarse, kFine, 2);
    writer.feed(data.data(), data.size() / 2);
  }

  std::string reason;
  const auto head = readIndexHead(streamed.head, &reason);
  ASSERT_TRUE(head) << reason;
  EXPECT_EQ(head->coarse, kCoarse);
  EXPECT_EQ(head->fine, kFine);
  EXPECT_EQ(head->fileSize, data.size());
  EXPECT_EQ(head->fileSha256, sha);
  const auto coarse = chunkBytes(kCoarse, data.data(), data.size());
  ASSERT_EQ(head->chunks.size(), coarse.size());
  std::uint64_t fineEnd = 0;
  for (std::size_t i = 0; i < coarse.size(); ++i) {
    const CoarseEntry& entry = head->chunks[i];
    EXPECT_EQ(entry.offset, coarse[i].offset);
    EXPECT_EQ(entry.length, coarse[i].length);
    EXPECT_EQ(entry.hash, coarse[i].hash);
    const auto fine = readFineSection(entry, head->fine,
                                      std::string_view(streamed.fine).substr(entry.fineOffset, fineSectionBytes(entry)),
                                      &reason);
    ASSERT_TRUE(fine) << reason;
    EXPECT_EQ(*fine, chunkBytes(kFine, data.data() + entry.offset, entry.length, entry.offset));
    fineEnd = entry.fineOffset + fineSectionBytes(entry);
  }
  EXPECT_EQ(fineEnd, streamed.fine.size());
  EXPECT_EQ(indexHeadPath("ab12"), "kvindex/ab12.kvi");
  EXPECT_EQ(fineFilePath("kvindex/ab12.kvi"), "kvindex/ab12.kvf");
  EXPECT_EQ(fineFilePath("kvindex/ab12.kvf"), "");
}

TEST(ChunkIndex, EmptyFileHasAnEmptyIndex) {
  const IndexFiles files = buildIndex(nullptr, 0, kCoarse, kFine);
  const auto head = readIndexHead(files.head);
  ASSERT_TRUE(head);
  EXPECT_TRUE(head->chunks.empty());
  EXPECT_TRUE(files.fine.empty());
}

// Every way a head can lie is refused with a reason, never a crash.
TEST(ChunkIndex, RefusesHostileHeads) {
  const auto data = noise(100'000, 8);
  const IndexFiles files = buildIndex(data.data(), data.size(), kCoarse, kFine);
  ASSERT_TRUE(readIndexHead(files.head));
  const std::size_t count = (files.head.size() - kHeadHeaderBytes) / kCoarseEntryBytes;
  ASSERT_GE(count, 6u);
  const std::uint32_t length0 = getU32(files.head, entryAt(0)), length1 = getU32(files.head, entryAt(1));
  const struct {
    const char* what;
    std::function<void(std::string&)> change;
  } cases[] = {
      {"empty", [](std::string& h) { h.clear(); }},
      {"truncated header", [](std::string& h) { h.resize(kHeadHeaderBytes - 1); }},
      {"truncated entry", [](std::string& h) { h.pop_back(); }},
      {"trailing byte", [](std::string& h) { h.push_back('\0'); }},
      {"bad magic", [](std::string& h) { h[7] = '2'; }},
      {"coarse min zero", [](std::string& h) { setU32(h, 8, 0); }},
      {"coarse avg not a power of two", [](std::string& h) { setU32(h, 12, 4000); }},
      {"coarse max huge", [](std::string& h) { setU32(h, 16, 0xFFFFFFFF); }},
      {"fine min above avg", [](std::string& h) { setU32(h, 20, 1024); }},
      {"fine larger than coarse", [](std::string& h) { setU32(h, 28, 65536); setU32(h, 24, 32768); setU32(h, 20, 16384); }},
      {"file size huge", [](std::string& h) { setU64(h, 32, ~std::uint64_t{0}); }},
      {"file size one more", [&](std::string& h) { setU64(h, 32, data.size() + 1); }},
      {"file size one less", [&](std::string& h) { setU64(h, 32, data.size() - 1); }},
      {"count huge", [](std::string& h) { setU32(h, 72, 0xFFFFFFFF); }},
      {"count one less", [&](std::string& h) { setU32(h, 72, count - 1); }},
      {"count zero", [](std::string& h) { setU32(h, 72, 0); h.resize(kHeadHeaderBytes); }},
      {"reserved header", [](std::string& h) { h[78] = 1; }},
      {"zero length", [](std::string& h) { setU32(h, entryAt(1), 0); }},
      {"oversize length", [&](std::string& h) { setU32(h, entryAt(1), kCoarse.max + 1); }},
      {"short middle chunk, same sum", [&](std::string& h) {
         setU32(h, entryAt(0), kCoarse.min - 1);
         setU32(h, entryAt(1), length1 + length0 - (kCoarse.min - 1));
       }},
      {"lengths sum past the end", [&](std::string& h) { setU32(h, entryAt(0), length0 + 1); }},
      {"fine count zero", [](std::string& h) { setU32(h, entryAt(2) + 4, 0); }},
      {"fine count huge", [](std::string& h) { setU32(h, entryAt(2) + 4, 0xFFFFFFFF); }},
      {"fine sections overlap", [](std::string& h) { setU64(h, entryAt(2) + 8, 0); }},
      {"fine sections out of order", [&](std::string& h) {
         std::string first = h.substr(entryAt(1) + 8, 8);
         h.replace(entryAt(1) + 8, 8, h.substr(entryAt(2) + 8, 8));
         h.replace(entryAt(2) + 8, 8, first);
       }},
      {"fine section past a gap", [](std::string& h) { h[entryAt(3) + 8] = static_cast<char>(h[entryAt(3) + 8] + 20); }},
      {"reserved entry", [](std::string& h) { h[entryAt(4) + 50] = 1; }},
  };
  for (const auto& c : cases) {
    std::string head = files.head;
    c.change(head);
    std::string reason;
    EXPECT_FALSE(readIndexHead(head, &reason)) << c.what;
    EXPECT_FALSE(reason.empty()) << c.what;
  }
}

TEST(ChunkIndex, RefusesHostileFineSections) {
  const auto data = noise(50'000, 9);
  const IndexFiles files = buildIndex(data.data(), data.size(), kCoarse, kFine);
  const auto head = readIndexHead(files.head);
  ASSERT_TRUE(head);
  const CoarseEntry& good = head->chunks.at(1);
  const std::string section = files.fine.substr(good.fineOffset, fineSectionBytes(good));
  ASSERT_TRUE(readFineSection(good, kFine, section));
  ASSERT_GE(good.fineCount, 3u);
  const struct {
    const char* what;
    std::function<void(std::string&)> change;
    bool rehash;  // the hash made to match the changed bytes: the lengths must still be checked
  } cases[] = {
      {"truncated", [](std::string& s) { s.pop_back(); }, false},
      {"longer", [](std::string& s) { s.push_back('\0'); }, false},
      {"empty", [](std::string& s) { s.clear(); }, false},
      {"wrong hash", [](std::string& s) { s[5] ^= 1; }, false},
      {"zero length", [](std::string& s) { setU32(s, 0, 0); }, true},
      {"oversize length", [](std::string& s) { setU32(s, 0, kFine.max + 1); }, true},
      {"short middle chunk", [](std::string& s) { setU32(s, 0, kFine.min - 1); }, true},
      {"lengths sum short", [](std::string& s) { setU32(s, s.size() - kFineEntryBytes, 1); }, true},
      {"lengths sum long", [](std::string& s) { setU32(s, 0, kFine.max); setU32(s, kFineEntryBytes, kFine.max); }, true},
  };
  for (const auto& c : cases) {
    std::string bytes = section;
    c.change(bytes);
    CoarseEntry entry = good;
    if (c.rehash) entry.fineHash = chunkHashOf(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::string reason;
    EXPECT_FALSE(readFineSection(entry, kFine, bytes, &reason)) << c.what;
    EXPECT_FALSE(reason.empty()) << c.what;
  }
  // A section is read for the entry it is given: another entry's does not fit.
  EXPECT_FALSE(readFineSection(head->chunks.at(2), kFine, section));
}

}  // namespace
}  // namespace kv::delta
