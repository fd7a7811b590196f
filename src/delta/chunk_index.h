#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/launcher_files.h"
#include "delta/chunker.h"

namespace kv::delta {

// A large file's chunk index is two files on the site, named after the
// file's SHA-256 hex H (content-addressed, never rewritten):
//
//   "kvindex/H.kvi"  the head: fetched whole, checked against the
//                               hash and size its manifest element lists.
//   "kvindex/H.kvf"  the fine sections: fetched in byte ranges,
//                               each checked against the hash its coarse
//                               entry lists.
//
// Head layout, little-endian:
//    0   8  magic "KVCHIDX1"
//    8  24  coarse min, avg, max; fine min, avg, max (u32 each)
//   32   8  file size (u64)
//   40  32  the file's SHA-256
//   72   4  coarse chunk count (u32)
//   76   4  reserved, 0
//   80      count coarse entries of kCoarseEntryBytes each, in file order:
//             0  4  length (u32)
//             4  4  fine chunk count (u32)
//             8  8  offset of its fine section in the .kvf file (u64)
//            16 16  chunk hash
//            32 16  hash of its fine section (first 16 bytes of the
//                   SHA-256 of the section's bytes)
//            48  8  reserved, 0
//   The head ends after the last entry. A coarse entry's file offset is the
//   sum of the lengths before it; the lengths sum to the file size.
//
// Fine file: one section per coarse chunk, in coarse order, contiguous from
// offset 0; a section is fine count entries of kFineEntryBytes each:
//    0  4  length (u32)
//    4 16  chunk hash
//   The lengths of a section sum to its coarse chunk's length.

inline constexpr char kIndexMagic[8] = {'K', 'V', 'C', 'H', 'I', 'D', 'X', '1'};
inline constexpr std::size_t kHeadHeaderBytes = 80;
inline constexpr std::size_t kCoarseEntryBytes = 56;
inline constexpr std::size_t kFineEntryBytes = 20;

struct CoarseEntry {
  std::uint64_t offset = 0;  // in the file
  std::uint32_t length = 0;
  ChunkHash hash{};
  std::uint32_t fineCount = 0;
  std::uint64_t fineOffset = 0;  // of its section in the fine file
  ChunkHash fineHash{};
  friend bool operator==(const CoarseEntry&, const CoarseEntry&) = default;
};

struct IndexHead {
  ChunkParams coarse, fine;
  std::uint64_t fileSize = 0;
  std::array<std::uint8_t, 32> fileSha256{};
  std::vector<CoarseEntry> chunks;
};

// Reads a head. Every count, length, offset and sum is checked: the
// parameters must pass chunkParamsValid, the count fit the bytes and the
// file size at the coarse minimum, each length lie within the parameters
// (the last may be shorter than min), the lengths sum to the file size,
// fine counts fit their lengths at the fine minimum and fine sections
// follow one another from 0. Nullopt with reason (when given) otherwise.
// Never throws for any bytes.
[[nodiscard]] std::optional<IndexHead> readIndexHead(std::string_view bytes, std::string* reason = nullptr);

// The byte length of entry's section in the fine file.
[[nodiscard]] std::uint64_t fineSectionBytes(const CoarseEntry& entry);

// The fine chunks of entry from its section's bytes, offsets absolute in the
// file. The bytes must hash to entry.fineHash, hold exactly
// entry.fineCount entries and the lengths sum to entry.length. fine are the
// head's fine parameters (each length at most fine.max). Nullopt with reason
// otherwise; never throws.
[[nodiscard]] std::optional<std::vector<Chunk>> readFineSection(const CoarseEntry& entry, const ChunkParams& fine,
                                                                std::string_view bytes,
                                                                std::string* reason = nullptr);

// A head and its fine file, as the site serves them.
struct IndexFiles {
  std::string head, fine;
};

// Builds a file's index from its bytes fed once, in order, beside hashing
// them: feed() every piece, then finish() with the file's SHA-256.
//
// With helpers > 0 the coarse cuts are found on the feeding thread and each
// coarse chunk's hash and fine section are worked out on that many helper
// threads (the feeding thread lends a hand when they fall behind); the
// chunks waiting, copied, for a helper hold at most kQueuedBytes (beside
// one chunk per thread being worked on). While share (when given) answers
// false, chunks are worked out on the feeding thread, uncopied (the other
// cores are busy elsewhere). The files are the same either way.
class IndexWriter {
 public:
  static constexpr std::size_t kQueuedBytes = std::size_t{4} << 20;

  explicit IndexWriter(ChunkParams coarse = kCoarseChunks, ChunkParams fine = kFineChunks, unsigned helpers = 0,
                       std::function<bool()> share = {});
  ~IndexWriter();
  IndexWriter(const IndexWriter&) = delete;
  IndexWriter& operator=(const IndexWriter&) = delete;

  void feed(const std::uint8_t* data, std::size_t size);
  IndexFiles finish(const std::array<std::uint8_t, 32>& fileSha256);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The index of bytes held in memory (tests, tools).
IndexFiles buildIndex(const std::uint8_t* data, std::size_t size, ChunkParams coarse = kCoarseChunks,
                      ChunkParams fine = kFineChunks);

// The site path of the head of a file with SHA-256 hex sha256Hex
// ("kvindex/H.kvi"), and the fine file's path for a head's path (".kvf" in
// place of ".kvi"; empty when headPath does not end in ".kvi").
std::string indexHeadPath(std::string_view sha256Hex);
std::string fineFilePath(std::string_view headPath);

}  // namespace kv::delta
