// The chunk index reader on arbitrary heads and fine files: it reads only
// inside the bytes, refuses what does not add up and never crashes; what it
// accepts holds together (lengths within the sizes, sums exact).
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "delta/chunk_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::uint32_t headLength = provider.ConsumeIntegral<std::uint32_t>();
  const std::string head = provider.ConsumeBytesAsString(headLength % (provider.remaining_bytes() + 1));
  const std::string fine = provider.ConsumeRemainingBytesAsString();
  const auto index = kv::delta::readIndexHead(head);
  if (!index) return 0;
  std::uint64_t sum = 0;
  for (const auto& entry : index->chunks) {
    if (entry.length == 0 || entry.length > index->coarse.max || entry.offset != sum) std::abort();
    sum += entry.length;
    const std::uint64_t bytes = kv::delta::fineSectionBytes(entry);
    if (entry.fineOffset > fine.size() || bytes > fine.size() - entry.fineOffset) continue;
    const auto chunks = kv::delta::readFineSection(entry, index->fine, std::string_view(fine).substr(entry.fineOffset, bytes));
    if (!chunks) continue;
    std::uint64_t at = entry.offset;
    for (const auto& chunk : *chunks) {
      if (chunk.offset != at || chunk.length == 0 || chunk.length > index->fine.max) std::abort();
      at += chunk.length;
    }
    if (at != entry.offset + entry.length) std::abort();
  }
  if (sum != index->fileSize) std::abort();
  return 0;
}
