#include "delta/chunk_index.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

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

namespace {

// What the index says of one coarse chunk besides its length.
struct CoarseDescription {
  std::uint32_t length = 0;
  ChunkHash hash{};
  std::string section;  // its fine entries
  std::uint32_t fineCount = 0;
};

CoarseDescription describeCoarse(Chunker& fine, const std::uint8_t* data, std::uint32_t length) {
  CoarseDescription out;
  out.length = length;
  out.hash = chunkHashOf(data, length);
  out.section.reserve(std::size_t{kFineEntryBytes} * (length / 4096 + 1));
  const ChunkSink onFine = [&out](const Chunk& piece) {
    putU32(out.section, piece.length);
    putBytes(out.section, piece.hash);
    ++out.fineCount;
  };
  fine.feed(data, length, onFine);
  fine.finish(onFine);
  return out;
}

// A coarse chunk waiting for a helper, numbered in file order.
struct CoarseJob {
  std::uint64_t number = 0;
  std::vector<std::uint8_t> bytes;
};

}  // namespace

struct IndexWriter::State {
  State(ChunkParams coarseSizes, ChunkParams fineSizes)
      : coarseParams(coarseSizes), fineParams(fineSizes), coarse(coarseSizes, false), fine(fineSizes) {}
  ~State() {
    {
      const std::lock_guard lock(mutex);
      stop = true;
      queue.clear();
      queuedBytes = 0;
    }
    wake.notify_all();
    for (auto& helper : helpers) helper.join();
  }

  // Appends a coarse chunk's entry and its fine section (feeding thread only).
  void append(const CoarseDescription& chunk) {
    const std::size_t sectionStart = fineFile.size();
    fineFile += chunk.section;
    putU32(entries, chunk.length);
    putU32(entries, chunk.fineCount);
    putU64(entries, sectionStart);
    putBytes(entries, chunk.hash);
    putBytes(entries, chunkHashOf(reinterpret_cast<const std::uint8_t*>(chunk.section.data()), chunk.section.size()));
    entries.append(8, '\0');
    ++count;
  }

  // Helpers: what has been described goes in, in file order. Holds mutex.
  void appendDescribed() {
    for (auto it = described.begin(); it != described.end() && it->first == appended; it = described.erase(it)) {
      append(it->second);
      ++appended;
    }
  }

  // Works on the oldest waiting chunk on this thread. Holds lock on entry and exit.
  void describeOldest(std::unique_lock<std::mutex>& lock, Chunker& chunker) {
    CoarseJob job = std::move(queue.front());
    queue.pop_front();
    queuedBytes -= job.bytes.size();
    ++working;
    lock.unlock();
    CoarseDescription description =
        describeCoarse(chunker, job.bytes.data(), static_cast<std::uint32_t>(job.bytes.size()));
    lock.lock();
    described.emplace(job.number, std::move(description));
    --working;
    idle.notify_all();
  }

  void helperLoop() {
    Chunker chunker(fineParams);
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stop || !queue.empty(); });
      if (stop) return;
      describeOldest(lock, chunker);
    }
  }

  void onChunk(const Chunk& chunk) {
    const std::uint8_t* bytes = coarse.emittedBytes();
    if (helpers.empty()) {
      append(describeCoarse(fine, bytes, chunk.length));
      return;
    }
    if (share && !share()) {
      CoarseDescription description = describeCoarse(fine, bytes, chunk.length);
      const std::lock_guard lock(mutex);
      described.emplace(submitted++, std::move(description));
      appendDescribed();
      return;
    }
    CoarseJob job{submitted++, std::vector<std::uint8_t>(bytes, bytes + chunk.length)};
    std::unique_lock lock(mutex);
    queuedBytes += job.bytes.size();
    queue.push_back(std::move(job));
    wake.notify_one();
    // The helpers fell behind: lend a hand rather than hold more bytes.
    while (queuedBytes > kQueuedBytes) describeOldest(lock, fine);
    appendDescribed();
  }

  // Every chunk fed is described and appended.
  void drain() {
    if (helpers.empty()) return;
    std::unique_lock lock(mutex);
    while (!queue.empty()) describeOldest(lock, fine);
    idle.wait(lock, [this] { return working == 0; });
    appendDescribed();
    submitted = appended = 0;
  }

  ChunkParams coarseParams, fineParams;
  Chunker coarse, fine;
  std::string entries;  // the coarse table
  std::string fineFile;
  std::uint64_t fileSize = 0;
  std::uint32_t count = 0;
  ChunkSink onCoarse;

  std::function<bool()> share;
  std::vector<std::thread> helpers;
  std::mutex mutex;
  std::condition_variable wake;  // helpers: a chunk waits, or stop
  std::condition_variable idle;  // a helper finished a chunk
  std::deque<CoarseJob> queue;
  std::map<std::uint64_t, CoarseDescription> described;  // not yet appended, by number
  std::uint64_t submitted = 0, appended = 0;
  std::size_t queuedBytes = 0;
  unsigned working = 0;
  bool stop = false;
};

IndexWriter::IndexWriter(ChunkParams coarse, ChunkParams fine, unsigned helpers, std::function<bool()> share)
    : state_(std::make_unique<State>(coarse, fine)) {
  State& s = *state_;
  s.share = std::move(share);
  s.onCoarse = [&s](const Chunk& chunk) { s.onChunk(chunk); };
  for (unsigned i = 0; i < helpers; ++i) s.helpers.emplace_back([&s] { s.helperLoop(); });
}

IndexWriter::~IndexWriter() = default;

void IndexWriter::feed(const std::uint8_t* data, std::size_t size) {
  state_->fileSize += size;
  state_->coarse.feed(data, size, state_->onCoarse);
}

IndexFiles IndexWriter::finish(const std::array<std::uint8_t, 32>& fileSha256) {
  State& s = *state_;
  s.coarse.finish(s.onCoarse);
  s.drain();
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
