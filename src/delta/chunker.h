#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kv::delta {

// Sizes of content-defined chunks in bytes: no chunk is shorter than min
// (except the last of a stream) or longer than max; cuts come on average
// every avg bytes. avg is a power of two, min < avg < max.
struct ChunkParams {
  std::uint32_t min = 0, avg = 0, max = 0;
  friend bool operator==(const ChunkParams&, const ChunkParams&) = default;
};

// The two levels of a large file's index: coarse chunks over the whole file,
// fine chunks over each coarse chunk's bytes on their own (the fine chunker
// restarts at every coarse boundary, so fine chunks never cross one).
inline constexpr ChunkParams kCoarseChunks{64 * 1024, 256 * 1024, 1024 * 1024};
inline constexpr ChunkParams kFineChunks{2 * 1024, 8 * 1024, 32 * 1024};

// The first 16 bytes of the SHA-256 of a chunk's bytes.
using ChunkHash = std::array<std::uint8_t, 16>;

struct Chunk {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  ChunkHash hash{};
  friend bool operator==(const Chunk&, const Chunk&) = default;
};

using ChunkSink = std::function<void(const Chunk&)>;

// Cuts a stream into content-defined chunks with a gear hash and normalized
// chunking (a stricter cut mask below the average size, a looser one above).
// Boundaries depend only on the bytes: the same content gives the same cuts
// on every machine. feed() the stream's pieces in order, then finish(); emit
// hears every chunk in order, its offset counted from the first byte fed.
// Keeps at most params.max bytes between calls.
class Chunker {
 public:
  // hashChunks false: emit leaves every chunk's hash zero (a caller that
  // hashes the emitted bytes elsewhere).
  explicit Chunker(ChunkParams params, bool hashChunks = true);
  ~Chunker();
  Chunker(const Chunker&) = delete;
  Chunker& operator=(const Chunker&) = delete;

  void feed(const std::uint8_t* data, std::size_t size, const ChunkSink& emit);
  // Emits what is left as the last chunk (none for an empty stream); the
  // chunker then starts a new stream at offset 0.
  void finish(const ChunkSink& emit);

  // The bytes of the chunk being emitted, valid only inside emit.
  [[nodiscard]] const std::uint8_t* emittedBytes() const { return emitted_; }

 private:
  struct Hasher;
  std::size_t cutPoint(const std::uint8_t* data, std::size_t size);
  void emitChunk(const std::uint8_t* data, std::uint32_t length, const ChunkSink& emit);

  ChunkParams params_;
  std::uint64_t maskSmall_ = 0, maskLarge_ = 0;
  std::vector<std::uint8_t> pending_;  // bytes fed after the last cut, fewer than max
  std::uint64_t offset_ = 0;           // stream offset of the next chunk
  std::size_t pos_ = 0;        // where the search for the next cut resumes
  std::uint64_t hash_ = 0;     // the gear hash there
  const std::uint8_t* emitted_ = nullptr;
  std::unique_ptr<Hasher> hasher_;  // null when chunks are not hashed
};

// Whether params are a chunking this code accepts (also from an index file):
// 128 <= min < avg < max <= 16 MiB, avg a power of two.
[[nodiscard]] bool chunkParamsValid(const ChunkParams& params);

// The chunks of bytes held in memory, their offsets counted from base.
std::vector<Chunk> chunkBytes(ChunkParams params, const std::uint8_t* data, std::size_t size,
                              std::uint64_t base = 0);

ChunkHash chunkHashOf(const std::uint8_t* data, std::size_t size);

}  // namespace kv::delta
