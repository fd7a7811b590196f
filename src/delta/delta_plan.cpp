#include "delta/delta_plan.h"

#include <cstring>

namespace kv::delta {
namespace {

// Consecutive chunks of the new file that come the same way.
struct Run {
  bool fetch = false;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::vector<CopyStep> copies;  // copied runs: their chunks
};

}  // namespace

std::size_t ChunkLookup::KeyHash::operator()(const Key& key) const {
  // The hash is already uniform: its first bytes do.
  std::uint64_t value = 0;
  std::memcpy(&value, key.hash.data(), sizeof value);
  return static_cast<std::size_t>(value ^ key.length);
}

void ChunkLookup::add(std::uint32_t source, const Chunk& chunk) {
  (void)places_.try_emplace(Key{chunk.hash, chunk.length}, ChunkPlace{source, chunk.offset});
}

std::optional<ChunkPlace> ChunkLookup::find(const Chunk& wanted) const {
  const auto it = places_.find(Key{wanted.hash, wanted.length});
  if (it == places_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::size_t> missingChunks(const IndexHead& head, const ChunkLookup& local) {
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < head.chunks.size(); ++i) {
    const CoarseEntry& entry = head.chunks[i];
    if (!local.find(Chunk{entry.offset, entry.length, entry.hash})) missing.push_back(i);
  }
  return missing;
}

std::vector<ByteRange> fineSectionRanges(const IndexHead& head, const std::vector<std::size_t>& wanted,
                                         std::uint64_t bridge) {
  std::vector<ByteRange> ranges;
  for (const std::size_t index : wanted) {
    if (index >= head.chunks.size()) continue;
    const CoarseEntry& entry = head.chunks[index];
    const std::uint64_t bytes = fineSectionBytes(entry);
    if (bytes == 0) continue;
    if (!ranges.empty()) {
      ByteRange& last = ranges.back();
      const std::uint64_t end = last.offset + last.length;
      if (entry.fineOffset >= end && entry.fineOffset - end < bridge) {
        last.length = entry.fineOffset + bytes - last.offset;
        continue;
      }
    }
    ranges.push_back({entry.fineOffset, bytes});
  }
  return ranges;
}

std::optional<DeltaPlan> planAssembly(const std::vector<Chunk>& target, std::uint64_t fileSize,
                                      const ChunkLookup& local, std::uint64_t bridge) {
  std::vector<Run> runs;
  std::uint64_t at = 0;
  for (const Chunk& chunk : target) {
    if (chunk.offset != at || chunk.length == 0 || chunk.length > fileSize - at) return std::nullopt;
    at += chunk.length;
    const std::optional<ChunkPlace> place = local.find(chunk);
    const bool fetch = !place;
    if (runs.empty() || runs.back().fetch != fetch) runs.push_back({fetch, chunk.offset, 0, {}});
    Run& run = runs.back();
    run.length += chunk.length;
    if (place) run.copies.push_back({chunk.offset, chunk.length, chunk.hash, *place});
  }
  if (at != fileSize) return std::nullopt;

  // A short stretch of local bytes between two ranges to fetch costs less
  // fetched than a request of its own.
  for (std::size_t i = 1; i + 1 < runs.size(); ++i) {
    if (!runs[i].fetch && runs[i].length < bridge && runs[i - 1].fetch && runs[i + 1].fetch) {
      runs[i].fetch = true;
      runs[i].copies.clear();
    }
  }
  DeltaPlan plan;
  for (Run& run : runs) {
    if (!run.fetch) {
      plan.copiedBytes += run.length;
      for (CopyStep& step : run.copies) plan.copies.push_back(step);
      continue;
    }
    plan.fetchedBytes += run.length;
    if (!plan.fetches.empty() && plan.fetches.back().offset + plan.fetches.back().length == run.offset) {
      plan.fetches.back().length += run.length;
    } else {
      plan.fetches.push_back({run.offset, run.length});
    }
  }
  return plan;
}

}  // namespace kv::delta
