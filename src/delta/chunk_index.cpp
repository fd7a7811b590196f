#include "delta/chunk_index.h"

#include <algorithm>
#include <cstring>

#include "platform/sha256.h"

namespace kv::delta {
namespace {

// The largest file an index may describe (as a manifest may list).
constexpr std::uint64_t kMaxIndexedFileSize = std::uint64_t{1} << 40;

void putU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
void putU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
template <std::size_t N>
void putBytes(std::string& out, const std::array<std::uint8_t, N>& bytes) {
  out.append(reinterpret_cast<const char*>(bytes.data()), N);
}

std::uint32_t getU32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}
std::uint64_t getU64(std::string_view bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}
template <std::size_t N>
std::array<std::uint8_t, N> getBytes(std::string_view bytes, std::size_t at) {
  std::array<std::uint8_t, N> out{};
  std::memcpy(out.data(), bytes.data() + at, N);
  return out;
}
bool allZero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

// Whether a chunk count can cut total bytes under params: every chunk but
// the last at least min, each at most max.
bool countFits(std::uint64_t count, std::uint64_t total, const ChunkParams& params) {
  if (total == 0) return count == 0;
  return count >= (total + params.max - 1) / params.max && count <= total / params.min + 1;
}

template <typename T>
std::optional<T> refuse(std::string* reason, std::string why) {
  if (reason != nullptr) *reason = std::move(why);
  return std::nullopt;
}

}  // namespace

std::optional<IndexHead> readIndexHead(std::string_view bytes, std::string* reason) {
  if (bytes.size() < kHeadHeaderBytes) return refuse<IndexHead>(reason, "the index head is truncated");
  if (std::memcmp(bytes.data(), kIndexMagic, sizeof kIndexMagic) != 0) {
    return refuse<IndexHead>(reason, "the index head does not begin as one");
  }
  IndexHead head;
  head.coarse = {getU32(bytes, 8), getU32(bytes, 12), getU32(bytes, 16)};
  head.fine = {getU32(bytes, 20), getU32(bytes, 24), getU32(bytes, 28)};
  if (!chunkParamsValid(head.coarse) || !chunkParamsValid(head.fine) || head.fine.max > head.coarse.max) {
    return refuse<IndexHead>(reason, "the index head's chunk sizes are out of bounds");
  }
  head.fileSize = getU64(bytes, 32);
  head.fileSha256 = getBytes<32>(bytes, 40);
  const std::uint32_t count = getU32(bytes, 72);
  if (head.fileSize > kMaxIndexedFileSize) return refuse<IndexHead>(reason, "the index head's file size is too large");
  if (!allZero(bytes.substr(76, 4))) return refuse<IndexHead>(reason, "the index head's reserved bytes are not zero");
  if (!countFits(count, head.fileSize, head.coarse)) {
    return refuse<IndexHead>(reason, "the index head's chunk count does not fit the file size");
  }
  if (bytes.size() != kHeadHeaderBytes + std::uint64_t{count} * kCoarseEntryBytes) {
    return refuse<IndexHead>(reason, "the index head's length does not match its chunk count");
  }
  head.chunks.reserve(count);
  std::uint64_t offset = 0, fineOffset = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = kHeadHeaderBytes + std::size_t{i} * kCoarseEntryBytes;
    CoarseEntry entry;
    entry.offset = offset;
    entry.length = getU32(bytes, at);
    entry.fineCount = getU32(bytes, at + 4);
    entry.fineOffset = getU64(bytes, at + 8);
    entry.hash = getBytes<16>(bytes, at + 16);
    entry.fineHash = getBytes<16>(bytes, at + 32);
    const bool last = i + 1 == count;
    if (entry.length == 0 || entry.length > head.coarse.max || (!last && entry.length < head.coarse.min)) {
      return refuse<IndexHead>(reason, "an index chunk's length is out of bounds");
    }
    if (entry.length > head.fileSize - offset) {
      return refuse<IndexHead>(reason, "the index chunks reach past the file's end");
    }
    if (!countFits(entry.fineCount, entry.length, head.fine)) {
      return refuse<IndexHead>(reason, "an index chunk's fine count does not fit its length");
    }
    if (entry.fineOffset != fineOffset) return refuse<IndexHead>(reason, "the index's fine sections are out of order");
    if (!allZero(bytes.substr(at + 48, 8))) return refuse<IndexHead>(reason, "an index chunk's reserved bytes are not zero");
    offset += entry.length;
    fineOffset += fineSectionBytes(entry);
    head.chunks.push_back(entry);
  }
  if (offset != head.fileSize) return refuse<IndexHead>(reason, "the index chunks do not add up to the file size");
  return head;
}

std::uint64_t fineSectionBytes(const CoarseEntry& entry) { return std::uint64_t{entry.fineCount} * kFineEntryBytes; }

std::optional<std::vector<Chunk>> readFineSection(const CoarseEntry& entry, const ChunkParams& fine,
                                                  std::string_view bytes, std::string* reason) {
  using Result = std::vector<Chunk>;
  if (bytes.size() != fineSectionBytes(entry)) return refuse<Result>(reason, "a fine section has the wrong length");
  if (chunkHashOf(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()) != entry.fineHash) {
    return refuse<Result>(reason, "a fine section does not match its hash");
  }
  Result chunks;
  chunks.reserve(entry.fineCount);
  std::uint64_t offset = entry.offset;
  const std::uint64_t end = entry.offset + entry.length;
  for (std::uint32_t i = 0; i < entry.fineCount; ++i) {
    const std::size_t at = std::size_t{i} * kFineEntryBytes;
    Chunk chunk;
    chunk.offset = offset;
    chunk.length = getU32(bytes, at);
    chunk.hash = getBytes<16>(bytes, at + 4);
    const bool last = i + 1 == entry.fineCount;
    if (chunk.length == 0 || chunk.length > fine.max || (!last && chunk.length < fine.min) ||
        chunk.length > end - offset) {
      return refuse<Result>(reason, "a fine chunk's length is out of bounds");
    }
    offset += chunk.length;
    chunks.push_back(chunk);
  }
  if (offset != end) return refuse<Result>(reason, "a fine section does not add up to its chunk's length");
  return chunks;
}

struct IndexWriter::State {
  State(ChunkParams coarseSizes, ChunkParams fineSizes)
      : coarseParams(coarseSizes), fineParams(fineSizes), coarse(coarseSizes), fine(fineSizes) {}
  ChunkParams coarseParams, fineParams;
  Chunker coarse, fine;
  std::string entries;  // the coarse table
  std::string fineFile;
  std::uint64_t fileSize = 0;
  std::uint32_t count = 0;
  ChunkSink onCoarse;
};

IndexWriter::IndexWriter(ChunkParams coarse, ChunkParams fine) : state_(std::make_unique<State>(coarse, fine)) {
  State& s = *state_;
  s.onCoarse = [&s](const Chunk& chunk) {
    const std::size_t sectionStart = s.fineFile.size();
    std::uint32_t fineCount = 0;
    const ChunkSink onFine = [&s, &fineCount](const Chunk& piece) {
      putU32(s.fineFile, piece.length);
      putBytes(s.fineFile, piece.hash);
      ++fineCount;
    };
    s.fine.feed(s.coarse.emittedBytes(), chunk.length, onFine);
    s.fine.finish(onFine);
    putU32(s.entries, chunk.length);
    putU32(s.entries, fineCount);
    putU64(s.entries, sectionStart);
    putBytes(s.entries, chunk.hash);
    putBytes(s.entries, chunkHashOf(reinterpret_cast<const std::uint8_t*>(s.fineFile.data()) + sectionStart,
                                    s.fineFile.size() - sectionStart));
    s.entries.append(8, '\0');
    ++s.count;
  };
}

IndexWriter::~IndexWriter() = default;

void IndexWriter::feed(const std::uint8_t* data, std::size_t size) {
  state_->fileSize += size;
  state_->coarse.feed(data, size, state_->onCoarse);
}

IndexFiles IndexWriter::finish(const std::array<std::uint8_t, 32>& fileSha256) {
  State& s = *state_;
  s.coarse.finish(s.onCoarse);
  IndexFiles files;
  files.head.reserve(kHeadHeaderBytes + s.entries.size());
  files.head.append(kIndexMagic, sizeof kIndexMagic);
  for (const ChunkParams& params : {s.coarseParams, s.fineParams}) {
    putU32(files.head, params.min);
    putU32(files.head, params.avg);
    putU32(files.head, params.max);
  }
  putU64(files.head, s.fileSize);
  putBytes(files.head, fileSha256);
  putU32(files.head, s.count);
  putU32(files.head, 0);
  files.head += s.entries;
  files.fine = std::move(s.fineFile);
  s.entries.clear();
  s.fineFile.clear();
  s.fileSize = 0;
  s.count = 0;
  return files;
}

IndexFiles buildIndex(const std::uint8_t* data, std::size_t size, ChunkParams coarse, ChunkParams fine) {
  IndexWriter writer(coarse, fine);
  writer.feed(data, size);
  platform::Sha256 sha;
  sha.add(data, size);
  std::array<std::uint8_t, 32> digest{};
  (void)sha.finish(digest);
  return writer.finish(digest);
}

std::string indexHeadPath(std::string_view sha256Hex) {
  return std::string(kIndexFolderName) + "/" + std::string(sha256Hex) + kIndexHeadExtension;
}

std::string fineFilePath(std::string_view headPath) {
  const std::string_view extension = kIndexHeadExtension;
  if (!headPath.ends_with(extension)) return {};
  headPath.remove_suffix(extension.size());
  return std::string(headPath) + kIndexFineExtension;
}

}  // namespace kv::delta
