#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "delta/chunk_index.h"
#include "delta/chunker.h"

namespace kv::delta {

// A gap of local bytes between two ranges to fetch that is shorter than
// this is fetched with them instead. What a request costs: over HTTP/2 the
// engine keeps up to 64 streams in flight, so at a 50 ms round trip on
// 100 Mbit/s (625 KB per round trip) each stream's share of a round trip is
// about 10 KB, plus headers both ways; an HTTP/1.1 site with a handful of
// connections pays about 100 KB of lost transfer per request. 64 KiB lies
// between the two, costs 5 ms of transfer at 100 Mbit/s, and keeps the
// requests few where changed regions lie close together.
inline constexpr std::uint64_t kBridgeBytes = 64 * 1024;

// The same for the fine file of an index, whose sections are fetched only
// where coarse chunks changed: there a bridged gap holds sections of
// unchanged chunks, bytes no file needs, so only gaps about the size of a
// request's own headers and framing (both ways, HTTP/2) are bridged.
inline constexpr std::uint64_t kFineBridgeBytes = 2 * 1024;

// A stretch of bytes of a file: offset and length.
struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// Where a chunk's bytes lie on disk: the caller's number of a local file,
// and the offset there.
struct ChunkPlace {
  std::uint32_t source = 0;
  std::uint64_t offset = 0;
  friend bool operator==(const ChunkPlace&, const ChunkPlace&) = default;
};

// The chunks the local files hold, by hash and length. Any thread, one at a
// time.
class ChunkLookup {
 public:
  // Notes that chunk lies in source at chunk.offset; the first place noted
  // for a hash and length is kept.
  void add(std::uint32_t source, const Chunk& chunk);
  // Where a chunk with wanted's hash and length lies; nothing when no
  // local file holds one.
  [[nodiscard]] std::optional<ChunkPlace> find(const Chunk& wanted) const;
  [[nodiscard]] std::size_t size() const { return places_.size(); }

 private:
  struct Key {
    ChunkHash hash{};
    std::uint32_t length = 0;
    friend bool operator==(const Key&, const Key&) = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const;
  };
  std::unordered_map<Key, ChunkPlace, KeyHash> places_;
};

// One chunk of the new file copied from a local file.
struct CopyStep {
  std::uint64_t offset = 0;  // in the new file
  std::uint32_t length = 0;
  ChunkHash hash{};  // what the bytes read must hash to
  ChunkPlace from;
  friend bool operator==(const CopyStep&, const CopyStep&) = default;
};

// How the new file is put together: copies in file order, and the ranges
// of its URL to fetch (single ranges, in file order, none adjacent).
// Together they cover every byte of the file exactly once.
struct DeltaPlan {
  std::vector<CopyStep> copies;
  std::vector<ByteRange> fetches;
  std::uint64_t copiedBytes = 0;
  std::uint64_t fetchedBytes = 0;
};

// The numbers of head's coarse chunks that no local file holds, in order.
[[nodiscard]] std::vector<std::size_t> missingChunks(const IndexHead& head, const ChunkLookup& local);

// The ranges of the fine file that hold the sections of head's coarse
// chunks numbered wanted (ascending), neighbours merged and gaps shorter
// than bridge fetched with them.
[[nodiscard]] std::vector<ByteRange> fineSectionRanges(const IndexHead& head, const std::vector<std::size_t>& wanted,
                                                       std::uint64_t bridge = kFineBridgeBytes);

// Plans the new file of fileSize bytes from its chunks target (in order;
// coarse chunks, some replaced by their fine chunks): each chunk a local
// file holds is copied, the rest fetched; adjacent ranges to fetch are
// merged and copies between two ranges that together are shorter than
// bridge are fetched with them. Nothing when target does not cover the
// file exactly, from 0 on without gaps or overlaps.
[[nodiscard]] std::optional<DeltaPlan> planAssembly(const std::vector<Chunk>& target, std::uint64_t fileSize,
                                                    const ChunkLookup& local, std::uint64_t bridge = kBridgeBytes);

}  // namespace kv::delta
