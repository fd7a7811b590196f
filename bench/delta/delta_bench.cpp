// Chunking speed over 256 MiB of incompressible bytes, fed in 4 MiB reads as
// the publisher and the launcher read files.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "delta/chunk_index.h"
#include "delta/chunker.h"
#include "platform/sha256.h"

namespace {

constexpr std::size_t kBytes = std::size_t{256} << 20;
constexpr std::size_t kRead = std::size_t{4} << 20;

const std::vector<std::uint8_t>& data() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> out(kBytes);
    std::uint64_t x = 0x243F6A8885A308D3ull;
    for (std::size_t i = 0; i + 8 <= out.size(); i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      for (int b = 0; b < 8; ++b) out[i + b] = static_cast<std::uint8_t>(x >> (8 * b));
    }
    return out;
  }();
  return bytes;
}

void chunkLevel(benchmark::State& state, kv::delta::ChunkParams params) {
  const auto& bytes = data();
  std::size_t chunks = 0;
  for (auto _ : state) {
    kv::delta::Chunker chunker(params);
    const kv::delta::ChunkSink count = [&chunks](const kv::delta::Chunk&) { ++chunks; };
    for (std::size_t at = 0; at < bytes.size(); at += kRead) chunker.feed(bytes.data() + at, kRead, count);
    chunker.finish(count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
  state.counters["avg_chunk"] = static_cast<double>(state.iterations() * kBytes) / static_cast<double>(chunks);
}

void BM_CoarseChunks(benchmark::State& state) { chunkLevel(state, kv::delta::kCoarseChunks); }
void BM_FineChunks(benchmark::State& state) { chunkLevel(state, kv::delta::kFineChunks); }

void BM_IndexWriter(benchmark::State& state) {
  const auto& bytes = data();
  std::size_t indexBytes = 0;
  for (auto _ : state) {
    kv::delta::IndexWriter writer;
    for (std::size_t at = 0; at < bytes.size(); at += kRead) writer.feed(bytes.data() + at, kRead);
    const auto files = writer.finish({});
    indexBytes = files.head.size() + files.fine.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
  state.counters["index_bytes"] = static_cast<double>(indexBytes);
}

void BM_Sha256(benchmark::State& state) {
  const auto& bytes = data();
  for (auto _ : state) {
    kv::platform::Sha256 sha;
    for (std::size_t at = 0; at < bytes.size(); at += kRead) sha.add(bytes.data() + at, kRead);
    benchmark::DoNotOptimize(sha.finishHex());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

BENCHMARK(BM_CoarseChunks)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FineChunks)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_IndexWriter)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Sha256)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
