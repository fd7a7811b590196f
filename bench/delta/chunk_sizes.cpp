// Chooses the chunk sizes of the two index levels by simulation: a 256 MiB
// pack of incompressible bytes, then a version with 16 rewritten regions of
// 64-256 KiB, a 64 KiB insertion and a 32 KiB deletion near the start. For
// each pair of coarse and fine averages (min = avg / 4, max = avg * 4) it
// prints what an update would fetch: the head, the fine sections of the
// coarse chunks that changed, and the fine chunks not found in the old
// version (neighbours merged into one range), beside a one-level index of
// the fine size alone. Usage: kv_chunk_sizes [MiB].
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "delta/chunk_index.h"
#include "delta/chunker.h"

namespace {

using kv::delta::Chunk;
using kv::delta::ChunkHash;
using kv::delta::ChunkParams;
using Bytes = std::vector<std::uint8_t>;

Bytes noise(std::size_t size, std::uint64_t seed) {
  Bytes out(size);
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (int b = 0; b < 8; ++b) out[i + b] = static_cast<std::uint8_t>(x >> (8 * b));
  }
  return out;
}

struct Levels {
  std::vector<Chunk> coarse, fine;  // fine: every level-two chunk, in file order
};

Levels chunk(const Bytes& data, ChunkParams coarse, ChunkParams fine) {
  Levels out;
  out.coarse = kv::delta::chunkBytes(coarse, data.data(), data.size());
  for (const Chunk& c : out.coarse) {
    auto pieces = kv::delta::chunkBytes(fine, data.data() + c.offset, c.length, c.offset);
    out.fine.insert(out.fine.end(), pieces.begin(), pieces.end());
  }
  return out;
}

// Bytes and ranges of the chunks of wanted not in have, neighbours merged.
std::pair<std::uint64_t, std::size_t> missing(const std::vector<Chunk>& wanted, const std::set<ChunkHash>& have) {
  std::uint64_t bytes = 0;
  std::size_t ranges = 0;
  std::uint64_t end = ~std::uint64_t{0};
  for (const Chunk& c : wanted) {
    if (have.count(c.hash)) continue;
    bytes += c.length;
    if (c.offset != end) ++ranges;
    end = c.offset + c.length;
  }
  return {bytes, ranges};
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256) << 20;
  const Bytes old = noise(size, 1);
  Bytes next = old;
  std::mt19937_64 rng(7);
  std::uint64_t fresh = 0;
  for (int i = 0; i < 16; ++i) {
    const std::size_t length = 64 * 1024 + rng() % (192 * 1024);
    const std::size_t at = 16 * 1024 * 1024 + rng() % (size - length - 16 * 1024 * 1024);
    const Bytes region = noise(length, 100 + i);
    std::copy(region.begin(), region.end(), next.begin() + static_cast<std::ptrdiff_t>(at));
    fresh += length;
  }
  const Bytes inserted = noise(64 * 1024, 99);
  next.insert(next.begin() + 2 * 1024 * 1024, inserted.begin(), inserted.end());
  next.erase(next.begin() + 6 * 1024 * 1024, next.begin() + 6 * 1024 * 1024 + 32 * 1024);
  fresh += inserted.size();
  std::printf("pack %zu MiB, new bytes %.2f MB\n", size >> 20, static_cast<double>(fresh) / 1e6);
  std::printf("coarse avg | fine avg | head | fine sections | chunk bytes | ranges | total MB | index files %% | "
              "one-level total MB\n");
  for (const std::uint32_t coarseAvg : {128u << 10, 256u << 10, 512u << 10, 1024u << 10}) {
    for (const std::uint32_t fineAvg : {4u << 10, 8u << 10, 16u << 10}) {
      const ChunkParams coarse{coarseAvg / 4, coarseAvg, coarseAvg * 4};
      const ChunkParams fine{fineAvg / 4, fineAvg, fineAvg * 4};
      const Levels a = chunk(old, coarse, fine), b = chunk(next, coarse, fine);
      std::set<ChunkHash> oldCoarse, oldFine;
      for (const Chunk& c : a.coarse) oldCoarse.insert(c.hash);
      for (const Chunk& c : a.fine) oldFine.insert(c.hash);
      const std::uint64_t head = kv::delta::kHeadHeaderBytes + b.coarse.size() * kv::delta::kCoarseEntryBytes;
      std::uint64_t sections = 0;
      std::vector<Chunk> wanted;
      std::size_t fineAt = 0;
      for (const Chunk& c : b.coarse) {
        const std::size_t first = fineAt;
        while (fineAt < b.fine.size() && b.fine[fineAt].offset < c.offset + c.length) ++fineAt;
        if (oldCoarse.count(c.hash)) continue;
        sections += (fineAt - first) * kv::delta::kFineEntryBytes;
        wanted.insert(wanted.end(), b.fine.begin() + static_cast<std::ptrdiff_t>(first),
                      b.fine.begin() + static_cast<std::ptrdiff_t>(fineAt));
      }
      const auto [bytes, ranges] = missing(wanted, oldFine);
      const double total = static_cast<double>(head + sections + bytes) / 1e6;
      const double stored = static_cast<double>(head + b.fine.size() * kv::delta::kFineEntryBytes) /
                            static_cast<double>(next.size()) * 100;
      // One level at the fine size: every chunk listed in one index (24 bytes each).
      std::set<ChunkHash> oneOld;
      for (const Chunk& c : kv::delta::chunkBytes(fine, old.data(), old.size())) oneOld.insert(c.hash);
      const auto oneNew = kv::delta::chunkBytes(fine, next.data(), next.size());
      const auto one = missing(oneNew, oneOld);
      const double oneLevel = static_cast<double>(one.first + 24 * oneNew.size()) / 1e6;
      std::printf("%u KiB | %u KiB | %.3f MB | %.3f MB | %.3f MB | %zu | %.3f | %.3f | %.3f\n", coarseAvg >> 10,
                  fineAvg >> 10, static_cast<double>(head) / 1e6, static_cast<double>(sections) / 1e6,
                  static_cast<double>(bytes) / 1e6, ranges, total, stored, oneLevel);
    }
  }
  return 0;
}
