#include "delta/chunker.h"

#include <algorithm>
#include <bit>

#include "platform/sha256.h"

namespace kv::delta {
namespace {

// The gear hash sees the last 64 bytes: each step shifts the hash left by one.
constexpr std::size_t kWindow = 64;

// How many bytes at a time a chunk begun in an earlier piece is completed by.
constexpr std::size_t kPendingStep = 64 * 1024;

// 256 fixed pseudo-random values (splitmix64 from a fixed seed): part of the
// index format, the same for every build of the publisher and the launcher.
constexpr std::array<std::uint64_t, 256> makeGearTable() {
  std::array<std::uint64_t, 256> table{};
  std::uint64_t state = 0x4B564C61756E6368ull;  // "KVLaunch"
  for (auto& value : table) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    value = z ^ (z >> 31);
  }
  return table;
}
constexpr std::array<std::uint64_t, 256> kGear = makeGearTable();

// A mask of the hash's top bits (they depend on the whole window).
constexpr std::uint64_t topBits(int count) { return count <= 0 ? 0 : ~std::uint64_t{0} << (64 - count); }

}  // namespace

struct Chunker::Hasher {
  platform::Sha256 sha;
};

bool chunkParamsValid(const ChunkParams& p) {
  return p.min >= 2 * kWindow && p.min < p.avg && p.avg < p.max && p.max <= (16u << 20) &&
         std::has_single_bit(p.avg);
}

Chunker::Chunker(ChunkParams params, bool hashChunks)
    : params_(params), hasher_(hashChunks ? std::make_unique<Hasher>() : nullptr) {
  // Normalized chunking: two more mask bits before the average size make
  // early cuts rarer, two fewer after it make late ones likelier, so sizes
  // gather around the average.
  const int bits = std::countr_zero(params.avg);
  maskSmall_ = topBits(bits + 2);
  maskLarge_ = topBits(bits - 2);
  pending_.reserve(params.max);
}

Chunker::~Chunker() = default;

// Looks for the next cut in data[0..size), the bytes since the last cut,
// resuming where the previous call on the same bytes stopped (pos_, hash_).
// The chunk's length, or 0 when size bytes hold no cut and are fewer than max.
std::size_t Chunker::cutPoint(const std::uint8_t* data, std::size_t size) {
  std::size_t i = pos_;
  std::uint64_t h = hash_;
  const std::size_t warm = params_.min - kWindow;
  if (i < warm) i = warm;
  // Up to a length below min: only warm the window.
  for (const std::size_t end = std::min<std::size_t>(size, params_.min - 1); i < end; ++i) h = (h << 1) + kGear[data[i]];
  for (const std::size_t end = std::min<std::size_t>(size, params_.avg - 1); i < end; ++i) {
    h = (h << 1) + kGear[data[i]];
    if ((h & maskSmall_) == 0) return i + 1;
  }
  for (const std::size_t end = std::min<std::size_t>(size, params_.max); i < end; ++i) {
    h = (h << 1) + kGear[data[i]];
    if ((h & maskLarge_) == 0) return i + 1;
  }
  if (i == params_.max) return params_.max;
  pos_ = i;
  hash_ = h;
  return 0;
}

void Chunker::emitChunk(const std::uint8_t* data, std::uint32_t length, const ChunkSink& emit) {
  Chunk chunk;
  chunk.offset = offset_;
  chunk.length = length;
  if (hasher_) {
    hasher_->sha.reset();
    hasher_->sha.add(data, length);
    std::array<std::uint8_t, 32> digest{};
    if (hasher_->sha.finish(digest)) std::copy_n(digest.begin(), chunk.hash.size(), chunk.hash.begin());
  }
  offset_ += length;
  pos_ = 0;
  hash_ = 0;
  emitted_ = data;
  emit(chunk);
  emitted_ = nullptr;
}

void Chunker::feed(const std::uint8_t* data, std::size_t size, const ChunkSink& emit) {
  while (size > 0) {
    if (pending_.empty()) {
      const std::size_t cut = cutPoint(data, size);
      if (cut == 0) {
        pending_.assign(data, data + size);
        return;
      }
      emitChunk(data, static_cast<std::uint32_t>(cut), emit);
      data += cut;
      size -= cut;
      continue;
    }
    // Add to the pending bytes a step at a time (the search resumes where
    // it stopped) up to at most max, then give back what follows the cut:
    // the bytes copied are about those of the chunk, not max.
    const std::size_t before = pending_.size();
    const std::size_t take = std::min<std::size_t>({params_.max - before, size, kPendingStep});
    pending_.insert(pending_.end(), data, data + take);
    const std::size_t cut = cutPoint(pending_.data(), pending_.size());
    if (cut == 0) {  // no cut in what was taken: take more
      data += take;
      size -= take;
      continue;
    }
    emitChunk(pending_.data(), static_cast<std::uint32_t>(cut), emit);
    pending_.clear();
    data += cut - before;
    size -= cut - before;
  }
}

void Chunker::finish(const ChunkSink& emit) {
  if (!pending_.empty()) emitChunk(pending_.data(), static_cast<std::uint32_t>(pending_.size()), emit);
  pending_.clear();
  offset_ = 0;
  pos_ = 0;
  hash_ = 0;
}

std::vector<Chunk> chunkBytes(ChunkParams params, const std::uint8_t* data, std::size_t size, std::uint64_t base) {
  std::vector<Chunk> chunks;
  Chunker chunker(params);
  const ChunkSink collect = [&chunks, base](const Chunk& chunk) {
    chunks.push_back(chunk);
    chunks.back().offset += base;
  };
  chunker.feed(data, size, collect);
  chunker.finish(collect);
  return chunks;
}

ChunkHash chunkHashOf(const std::uint8_t* data, std::size_t size) {
  platform::Sha256 sha;
  sha.add(data, size);
  std::array<std::uint8_t, 32> digest{};
  ChunkHash hash{};
  if (sha.finish(digest)) std::copy_n(digest.begin(), hash.size(), hash.begin());
  return hash;
}

}  // namespace kv::delta
