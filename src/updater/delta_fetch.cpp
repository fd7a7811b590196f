#include "updater/delta_fetch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "base/launcher_files.h"
#include "base/path_text.h"
#include "delta/chunk_index.h"
#include "delta/chunker.h"
#include "delta/delta_plan.h"
#include "platform/file_system.h"
#include "platform/sha256.h"
#include "updater/atomic_file.h"
#include "updater/download_log.h"
#include "updater/download_resume.h"
#include "updater/endpoints.h"
#include "updater/install_check.h"

namespace kv::updater {
namespace {

using delta::ByteRange;
using delta::Chunk;
using delta::ChunkLookup;
using delta::IndexHead;

// How long one wait for the engine may take before the cancel flag is read
// again.
constexpr std::chrono::milliseconds kWaitSlice{100};
// How often a range whose connection was lost is asked for before the file
// is fetched whole.
constexpr int kRangeAttempts = 3;
// The most bytes of fine sections fetched for one file; beyond it the
// changed coarse chunks are fetched whole.
constexpr std::uint64_t kMaxFineBytes = std::uint64_t{16} << 20;
// The piece size in which files are read for chunking.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string hexOf(const std::array<std::uint8_t, 32>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::string sha256HexOf(std::string_view bytes) {
  platform::Sha256 digest;
  digest.add(bytes.data(), bytes.size());
  return digest.finishHex();
}

bool isCancelled(const DownloadEnvironment& environment) {
  return environment.cancel != nullptr && environment.cancel->load();
}

enum class RangesEnd { Done, Failed, Cancelled };

// Fetches ranges of url (a file of fileSize bytes) through engine, several
// at once, handing every piece of body to write with its offset in the
// file and each range wholly received to received. Each answer must be the
// 206 of exactly its range; the first answer's validator is asked for
// (If-Range) by the later requests and must be every answer's (when
// validator is not empty at the start, it is the first answer's). A range
// whose connection was lost is asked for again. Between two waits for the
// engine, poll is asked whether to go on (false: Failed, the caller tells
// why).
RangesEnd fetchRanges(TransferEngine& engine, const DownloadEnvironment& environment, const std::string& url,
                      std::uint64_t fileSize, const std::vector<ByteRange>& ranges, std::string& validator,
                      const std::function<bool(std::uint64_t, const char*, std::size_t)>& write, std::string& problem,
                      const std::function<bool()>& poll = {},
                      const std::function<void(const ByteRange&)>& received = {}) {
  struct InFlight {
    std::size_t index = 0;
    std::uint64_t got = 0;
    bool otherFile = false;  // the answer came from another version of the file
  };
  std::deque<std::size_t> pending;
  for (std::size_t i = 0; i < ranges.size(); ++i) pending.push_back(i);
  std::vector<int> attempts(ranges.size(), 0);
  std::map<std::uint64_t, InFlight> inFlight;
  std::uint64_t nextId = 1;
  // The first range goes alone until its answer begins, so that every
  // other one names the validator it gave.
  bool firstAnswered = !validator.empty();
  const auto stopAll = [&] {
    for (const auto& entry : inFlight) engine.stop(entry.first);
    inFlight.clear();
  };
  std::vector<FinishedTransfer> finished;
  for (;;) {
    if (isCancelled(environment)) {
      stopAll();
      return RangesEnd::Cancelled;
    }
    if (poll && !poll()) {
      stopAll();
      return RangesEnd::Failed;
    }
    while (!pending.empty() && inFlight.size() < static_cast<std::size_t>(std::max(engine.width(), 1)) &&
           (firstAnswered || inFlight.empty())) {
      const std::size_t index = pending.front();
      pending.pop_front();
      const std::uint64_t id = nextId++;
      InFlight& placed = inFlight.emplace(id, InFlight{index}).first->second;
      const ByteRange range = ranges[index];
      TransferOrder order;
      order.url = url;
      order.maxBytes = static_cast<std::int64_t>(fileSize);
      order.range.from = static_cast<std::int64_t>(range.offset);
      order.range.to = static_cast<std::int64_t>(range.offset + range.length - 1);
      order.range.ifRange = validator;
      order.range.bodyStart = [&validator, &placed, &firstAnswered](bool rest, const std::string& answered) {
        if (!rest) return false;
        firstAnswered = true;
        if (validator.empty()) validator = answered;
        if (answered == validator) return true;
        placed.otherFile = true;
        return false;
      };
      order.sink = [&write, &placed, range](const char* data, std::size_t size) {
        if (size > range.length - placed.got) return false;
        if (!write(range.offset + placed.got, data, size)) return false;
        placed.got += size;
        return true;
      };
      order.progress = [&environment](std::int64_t) { return !isCancelled(environment); };
      engine.start(id, std::move(order));
    }
    if (inFlight.empty()) return RangesEnd::Done;
    finished.clear();
    engine.wait(kWaitSlice, finished);
    for (const FinishedTransfer& done : finished) {
      const auto it = inFlight.find(done.id);
      if (it == inFlight.end()) continue;
      const InFlight flight = it->second;
      inFlight.erase(it);
      const ByteRange range = ranges[flight.index];
      const TransferResult& result = done.result;
      if (result.outcome == TransferOutcome::Completed && result.status == 206 && flight.got == range.length) {
        if (received) received(range);
        continue;
      }
      if (result.outcome == TransferOutcome::Aborted || isCancelled(environment)) {
        stopAll();
        return RangesEnd::Cancelled;
      }
      if (result.rangeRefused || flight.otherFile) {
        problem = flight.otherFile ? "the file changed on the site" : "the site does not answer byte ranges";
      } else if (result.outcome == TransferOutcome::Failed && result.connectionLost &&
                 ++attempts[flight.index] < kRangeAttempts) {
        pending.push_back(flight.index);
        continue;
      } else if (result.outcome == TransferOutcome::Completed) {
        problem = "HTTP status code: " + std::to_string(result.status) + " for a byte range";
      } else {
        problem = result.errorText.empty() ? std::string("a byte range failed") : result.errorText;
      }
      stopAll();
      return RangesEnd::Failed;
    }
  }
}

// The most bytes of one head, and of all heads, fetched at once before the
// files are put together; larger ones are fetched on their own.
constexpr std::int64_t kMaxPrefetchedHead = std::int64_t{4} << 20;
constexpr std::int64_t kMaxPrefetchedHeads = std::int64_t{16} << 20;

// Fetches the heads of jobs through engine, several at once, so that many
// changed files cost one round trip for their heads rather than one each.
// A head whose answer is not a whole 200 of its listed size is left to
// assembleDelta. False when the run was cancelled.
bool prefetchHeads(TransferEngine& engine, const DownloadEnvironment& environment, std::vector<DeltaJob>& jobs) {
  std::deque<std::size_t> pending;
  std::int64_t total = 0;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const std::int64_t size = jobs[i].index.size;
    if (size <= 0 || size > kMaxPrefetchedHead || total + size > kMaxPrefetchedHeads) continue;
    total += size;
    pending.push_back(i);
  }
  std::map<std::uint64_t, std::pair<std::size_t, std::string>> inFlight;
  std::uint64_t nextId = 1;
  std::vector<FinishedTransfer> finished;
  for (;;) {
    if (isCancelled(environment)) {
      for (const auto& entry : inFlight) engine.stop(entry.first);
      return false;
    }
    while (!pending.empty() && inFlight.size() < static_cast<std::size_t>(std::max(engine.width(), 1))) {
      const std::size_t index = pending.front();
      pending.pop_front();
      const std::uint64_t id = nextId++;
      std::string& body = inFlight.emplace(id, std::make_pair(index, std::string())).first->second.second;
      TransferOrder order;
      order.url = jobs[index].headUrl;
      order.maxBytes = jobs[index].index.size;
      order.sink = [&body](const char* data, std::size_t size) {
        body.append(data, size);
        return true;
      };
      order.progress = [&environment](std::int64_t) { return !isCancelled(environment); };
      engine.start(id, std::move(order));
    }
    if (inFlight.empty()) return true;
    finished.clear();
    engine.wait(kWaitSlice, finished);
    for (const FinishedTransfer& done : finished) {
      const auto it = inFlight.find(done.id);
      if (it == inFlight.end()) continue;
      auto& [index, body] = it->second;
      if (done.result.outcome == TransferOutcome::Completed && done.result.status == 200 &&
          static_cast<std::int64_t>(body.size()) == jobs[index].index.size) {
        jobs[index].headBytes = std::move(body);
      }
      inFlight.erase(it);
    }
  }
}

// A local file as a source of chunks.
struct OpenSource {
  const DeltaSource* source = nullptr;
  platform::File file;
  std::vector<Chunk> coarse;  // its coarse chunks
};

// Reads the bytes of chunk from file into buffer; false when they cannot
// all be read.
bool readChunk(const platform::File& file, std::uint64_t offset, std::uint32_t length, std::vector<char>& buffer) {
  buffer.resize(length);
  std::uint32_t done = 0;
  while (done < length) {
    const std::int64_t n = file.readAt(offset + done, buffer.data() + done, length - done);
    if (n <= 0) return false;
    done += static_cast<std::uint32_t>(n);
  }
  return true;
}

// The pieces of a file being put together (copies and ranges, together
// covering it once, in order), and which of them are written. Any thread.
class WrittenPieces {
 public:
  explicit WrittenPieces(const delta::DeltaPlan& plan) {
    for (const delta::CopyStep& step : plan.copies) pieces_.push_back({step.offset, step.length});
    pieces_.insert(pieces_.end(), plan.fetches.begin(), plan.fetches.end());
    std::sort(pieces_.begin(), pieces_.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    written_.assign(pieces_.size(), false);
  }

  const std::vector<ByteRange>& pieces() const { return pieces_; }

  // Notes the pieces that lie within range as written.
  void written(const ByteRange& range) {
    const std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::lower_bound(pieces_.begin(), pieces_.end(), range.offset,
                               [](const ByteRange& piece, std::uint64_t at) { return piece.offset < at; });
    for (; it != pieces_.end() && it->offset + it->length <= range.offset + range.length; ++it) {
      written_[static_cast<std::size_t>(it - pieces_.begin())] = true;
    }
    changed_.notify_all();
  }

  // Waits until piece number index is written (true), or stop is set or
  // nothing more is to be written (false).
  bool waitWritten(std::size_t index, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!written_[index]) {
      if (stop.load() || allWritten_) return false;
      changed_.wait_for(lock, kWaitSlice);
    }
    return true;
  }

  // Notes that no more pieces will be written.
  void end() {
    const std::lock_guard<std::mutex> lock(mutex_);
    allWritten_ = true;
    changed_.notify_all();
  }

  // Wakes the waiters so that they read stop.
  void wake() {
    const std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
  }

 private:
  std::vector<ByteRange> pieces_;
  std::vector<bool> written_;
  bool allWritten_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// Work on a thread of its own, beside the worker's; where no thread can be
// started, it runs when it is joined.
class Beside {
 public:
  Beside() = default;
  ~Beside() { join(); }
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;

  void start(std::function<void()> work) {
    work_ = std::move(work);
    try {
      thread_ = std::thread([this] {
        work_();
        const std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        endedWhen_.notify_all();
      });
    } catch (...) {
      // Runs in join.
    }
  }
  // Waits up to timeout for the work to end; whether it has (or runs in
  // join, having no thread).
  bool waitEnded(std::chrono::milliseconds timeout) {
    if (!thread_.joinable()) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    return endedWhen_.wait_for(lock, timeout, [this] { return ended_; });
  }
  void join() {
    if (thread_.joinable()) {
      thread_.join();
    } else if (work_) {
      work_();
    }
    work_ = nullptr;
  }

 private:
  std::function<void()> work_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable endedWhen_;
  bool ended_ = false;
};

// The SHA-256 (hex) of the file being put together, read back from file
// piece by piece in file order, each once it is written; "" when stop ends
// it first or a read fails.
std::string hashInOrder(const platform::File& file, WrittenPieces& pieces, const std::atomic<bool>& stop) {
  platform::Sha256 digest;
  std::vector<char> buffer(kReadPiece);
  const std::vector<ByteRange>& list = pieces.pieces();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!pieces.waitWritten(i, stop)) return "";
    std::uint64_t at = list[i].offset;
    const std::uint64_t end = at + list[i].length;
    while (at < end) {
      if (stop.load()) return "";
      const std::int64_t n =
          file.readAt(at, buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at)));
      if (n <= 0) return "";
      digest.add(buffer.data(), static_cast<std::size_t>(n));
      at += static_cast<std::uint64_t>(n);
    }
  }
  return digest.finishHex();
}

// The coarse chunks of an installed file: from its stored head when that
// describes the file as it is listed (same chunking), else, for an older
// version of the file, by chunking it on disk. Nothing when neither works.
std::optional<std::vector<Chunk>> coarseChunksOf(const std::string& serverDir, OpenSource& open,
                                                 const IndexHead& head, const DownloadEnvironment& environment) {
  const DeltaSource& source = *open.source;
  const std::optional<std::uint64_t> size = open.file.regularFileSize();
  if (!size || static_cast<std::int64_t>(*size) != source.entry.size) return std::nullopt;
  if (isSha256Hex(source.entry.hash)) {
    const std::string headPath = storedHeadPath(serverDir, source.entry.hash);
    if (const auto bytes = platform::readRegularFile(headPath, static_cast<std::uint64_t>(kMaxIndexHeadSize))) {
      const std::optional<IndexHead> stored = delta::readIndexHead(*bytes);
      if (stored && stored->fileSize == *size && stored->coarse == head.coarse &&
          matchesSha256(hexOf(stored->fileSha256), source.entry.hash)) {
        std::vector<Chunk> chunks;
        chunks.reserve(stored->chunks.size());
        for (const delta::CoarseEntry& entry : stored->chunks) chunks.push_back({entry.offset, entry.length, entry.hash});
        return chunks;
      }
    }
  }
  if (!source.olderVersion) return std::nullopt;
  delta::Chunker chunker(head.coarse);
  std::vector<Chunk> chunks;
  const auto keep = [&chunks](const Chunk& chunk) { chunks.push_back(chunk); };
  std::vector<char> buffer(kReadPiece);
  std::uint64_t offset = 0;
  for (;;) {
    if (isCancelled(environment)) return std::nullopt;
    const std::int64_t n = open.file.readAt(offset, buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    chunker.feed(reinterpret_cast<const std::uint8_t*>(buffer.data()), static_cast<std::size_t>(n), keep);
    offset += static_cast<std::uint64_t>(n);
  }
  chunker.finish(keep);
  return chunks;
}

class Assembly {
 public:
  Assembly(TransferEngine& engine, const DownloadEnvironment& environment, DownloadProgress& progress,
           const DeltaJob& job)
      : engine_(engine), environment_(environment), progress_(progress), job_(job), item_(job.item) {}

  DeltaResult run() {
    DeltaResult result;
    const std::optional<IndexHead> head = fetchHead(result);
    if (!head) return result;
    // Whatever comes of the rest, the head describes the file once it is
    // installed.
    (void)platform::makeFolders(folderOf(storedHeadPath(job_.serverDir, item_.hash)));
    (void)replaceFileAtomically(storedHeadPath(job_.serverDir, item_.hash), headBytes_, nullptr, FileSync::NoFlush);
    if (head->fileSize == 0) return result;

    ChunkLookup local;
    openSources(*head, local);
    if (isCancelled(environment_)) return cancelled(result);
    std::vector<std::size_t> missing = delta::missingChunks(*head, local);
    // A file none of whose coarse chunks is installed has nothing to gain.
    if (missing.size() == head->chunks.size()) return result;
    addOrphanedFineChunks(*head, local);

    std::vector<std::optional<std::vector<Chunk>>> fine(head->chunks.size());
    if (!fetchFineSections(*head, missing, fine, result)) {
      return isCancelled(environment_) ? cancelled(result) : failed(result);
    }
    std::vector<Chunk> target;
    for (std::size_t i = 0; i < head->chunks.size(); ++i) {
      if (fine[i]) {
        target.insert(target.end(), fine[i]->begin(), fine[i]->end());
      } else {
        const delta::CoarseEntry& entry = head->chunks[i];
        target.push_back({entry.offset, entry.length, entry.hash});
      }
    }
    const std::optional<delta::DeltaPlan> plan = delta::planAssembly(target, head->fileSize, local);
    if (!plan) {
      result.problem = "the index does not lay out the file";
      return failed(result);
    }
    if (plan->copiedBytes == 0) return result;  // nothing local to take after all

    (void)platform::removeFile(downloadRecordPath(item_.partPath));
    if (platform::pathKind(item_.partPath) == platform::PathKind::Link) (void)platform::removeFile(item_.partPath);
    (void)platform::makeFolders(folderOf(item_.partPath));
    output_ = platform::openForWriting(item_.partPath, platform::WriteMode::Truncate);
    if (!output_.ok()) {
      result.problem = "cannot open " + item_.partPath + ": " + platform::lastErrorText();
      return failed(result);
    }
    switch (putTogether(*plan, head->fileSize, result)) {
      case RangesEnd::Done:
        break;
      case RangesEnd::Cancelled:
        return cancelled(result);
      case RangesEnd::Failed:
        return failed(result);
    }
    if (!output_.close()) {
      result.problem = "cannot write " + item_.partPath;
      return failed(result);
    }
    result.end = DeltaEnd::Assembled;
    return result;
  }

 private:
  // The head, fetched and checked against the manifest's hash and size and
  // the listed file; nothing (with the problem) when it is not that.
  std::optional<IndexHead> fetchHead(DeltaResult& result) {
    if (job_.headBytes) {
      headBytes_ = *job_.headBytes;
    } else if (!environment_.transport->getBody(job_.headUrl, static_cast<std::size_t>(job_.index.size),
                                                headBytes_)) {
      result.problem = "the index cannot be had";
      return std::nullopt;
    }
    result.fetchedBytes += static_cast<std::int64_t>(headBytes_.size());
    if (static_cast<std::int64_t>(headBytes_.size()) != job_.index.size ||
        !matchesSha256(sha256HexOf(headBytes_), job_.index.hash)) {
      result.problem = "the index is not the one the manifest lists";
      return std::nullopt;
    }
    std::string reason;
    std::optional<IndexHead> head = delta::readIndexHead(headBytes_, &reason);
    if (!head) {
      result.problem = "the index is unusable: " + reason;
      return std::nullopt;
    }
    if (!item_.expectedSize || static_cast<std::int64_t>(head->fileSize) != *item_.expectedSize ||
        !matchesSha256(hexOf(head->fileSha256), item_.hash)) {
      result.problem = "the index describes another file";
      return std::nullopt;
    }
    return head;
  }

  void openSources(const IndexHead& head, ChunkLookup& local) {
    for (const DeltaSource& source : job_.sources) {
      if (isCancelled(environment_)) return;
      OpenSource open;
      open.source = &source;
      if (platform::pathKind(source.localPath) != platform::PathKind::File) continue;
      open.file = platform::openForReading(source.localPath);
      if (!open.file.ok()) continue;
      std::optional<std::vector<Chunk>> chunks = coarseChunksOf(job_.serverDir, open, head, environment_);
      if (!chunks) continue;
      open.coarse = std::move(*chunks);
      const auto number = static_cast<std::uint32_t>(sources_.size());
      for (const Chunk& chunk : open.coarse) local.add(number, chunk);
      sources_.push_back(std::move(open));
    }
  }

  // The chunks of older versions that the new file no longer holds whole
  // are where its changed chunks differ: their fine chunks join local.
  void addOrphanedFineChunks(const IndexHead& head, ChunkLookup& local) {
    ChunkLookup wanted;
    for (const delta::CoarseEntry& entry : head.chunks) wanted.add(0, {entry.offset, entry.length, entry.hash});
    std::vector<char> buffer;
    for (std::uint32_t number = 0; number < sources_.size(); ++number) {
      OpenSource& open = sources_[number];
      if (!open.source->olderVersion) continue;
      for (const Chunk& chunk : open.coarse) {
        if (isCancelled(environment_)) return;
        if (wanted.find(chunk) || !readChunk(open.file, chunk.offset, chunk.length, buffer)) continue;
        for (const Chunk& piece : delta::chunkBytes(head.fine, reinterpret_cast<const std::uint8_t*>(buffer.data()),
                                                    buffer.size(), chunk.offset)) {
          local.add(number, piece);
        }
      }
    }
  }

  // Fetches the fine sections of the missing coarse chunks when older
  // versions offer fine chunks; false (with the problem) when the site or
  // the sections fail.
  bool fetchFineSections(const IndexHead& head, const std::vector<std::size_t>& missing,
                         std::vector<std::optional<std::vector<Chunk>>>& fine, DeltaResult& result) {
    const bool olderVersion = std::any_of(sources_.begin(), sources_.end(),
                                          [](const OpenSource& open) { return open.source->olderVersion; });
    if (missing.empty() || !olderVersion || job_.fineUrl.empty()) return true;
    const std::vector<ByteRange> ranges = delta::fineSectionRanges(head, missing);
    std::uint64_t total = 0;
    for (const ByteRange& range : ranges) total += range.length;
    if (total > kMaxFineBytes) return true;
    const delta::CoarseEntry& last = head.chunks.back();
    const std::uint64_t fineSize = last.fineOffset + delta::fineSectionBytes(last);
    std::vector<std::string> bytes(ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) bytes[i].resize(ranges[i].length);
    const auto write = [&](std::uint64_t offset, const char* data, std::size_t size) {
      const auto it = std::upper_bound(ranges.begin(), ranges.end(), offset,
                                       [](std::uint64_t at, const ByteRange& range) { return at < range.offset; });
      if (it == ranges.begin()) return false;
      const std::size_t index = static_cast<std::size_t>(it - ranges.begin()) - 1;
      const std::uint64_t within = offset - ranges[index].offset;
      if (within + size > ranges[index].length) return false;
      std::copy(data, data + size, bytes[index].begin() + static_cast<std::ptrdiff_t>(within));
      result.fetchedBytes += static_cast<std::int64_t>(size);
      return true;
    };
    std::string validator;
    const RangesEnd end = fetchRanges(engine_, environment_, job_.fineUrl, fineSize, ranges, validator, write,
                                      result.problem);
    if (end == RangesEnd::Cancelled) return false;
    if (end == RangesEnd::Failed) {
      result.problem = "the index's fine sections: " + result.problem;
      return false;
    }
    for (const std::size_t index : missing) {
      const delta::CoarseEntry& entry = head.chunks[index];
      const auto it = std::upper_bound(ranges.begin(), ranges.end(), entry.fineOffset,
                                       [](std::uint64_t at, const ByteRange& range) { return at < range.offset; });
      if (it == ranges.begin()) continue;
      const std::size_t at = static_cast<std::size_t>(it - ranges.begin()) - 1;
      const std::uint64_t within = entry.fineOffset - ranges[at].offset;
      const std::uint64_t length = delta::fineSectionBytes(entry);
      if (within + length > ranges[at].length) continue;
      std::string reason;
      fine[index] =
          delta::readFineSection(entry, head.fine, std::string_view(bytes[at]).substr(within, length), &reason);
      if (!fine[index]) {
        result.problem = "the index's fine section is unusable: " + reason;
        return false;
      }
    }
    return true;
  }

  // What the copying of local chunks came to.
  struct Copied {
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<bool> failed{false};  // a write failed (problem says why)
    std::string problem;
    std::vector<ByteRange> stale;  // chunks left for fetching
  };

  // Puts the file of plan together in the temporary: the local chunks are
  // copied on a thread of their own while the ranges are fetched, and a
  // third thread hashes the file in order as its pieces are written, so
  // that it is checked against its listed SHA-256 moments after its last
  // byte. A local chunk that is not what its source's head says (the file
  // changed on disk since) is fetched once the rest is in, merged with its
  // neighbours. The copied bytes are told to the progress from this thread.
  RangesEnd putTogether(const delta::DeltaPlan& plan, std::uint64_t fileSize, DeltaResult& result) {
    const platform::File reader = platform::openForReading(item_.partPath);
    if (!reader.ok()) {
      result.problem = "cannot read " + item_.partPath + ": " + platform::lastErrorText();
      return RangesEnd::Failed;
    }
    WrittenPieces pieces(plan);
    Copied copied;
    std::string digest;
    std::atomic<bool> stop{false};
    Beside copier;
    Beside hasher;
    // However this ends, the threads stop before anything they use goes.
    struct StopAtEnd {
      std::atomic<bool>& stop;
      WrittenPieces& pieces;
      ~StopAtEnd() {
        stop = true;
        pieces.wake();
      }
    } const stopAtEnd{stop, pieces};
    copier.start([&] { copyLocal(plan, pieces, stop, copied); });
    hasher.start([&] { digest = hashInOrder(reader, pieces, stop); });

    std::uint64_t told = 0;
    const auto tellCopied = [&] {
      const std::uint64_t now = copied.bytes.load();
      if (now == told) return;
      const auto bytes = static_cast<std::int64_t>(now - told);
      told = now;
      result.copiedBytes += bytes;
      result.reportedBytes += bytes;
      reportDownloadProgress(progress_, item_.path, bytes);
    };
    const auto write = [this, &result, &tellCopied](std::uint64_t offset, const char* data, std::size_t size) {
      if (!output_.writeAt(offset, data, size)) return false;
      result.fetchedBytes += static_cast<std::int64_t>(size);
      result.reportedBytes += static_cast<std::int64_t>(size);
      reportDownloadProgress(progress_, item_.path, static_cast<std::int64_t>(size));
      tellCopied();
      return true;
    };
    const auto poll = [&] {
      tellCopied();
      return !copied.failed.load();
    };
    const auto received = [&pieces](const ByteRange& range) { pieces.written(range); };
    const auto ended = [&](RangesEnd end) {
      if (end == RangesEnd::Failed && copied.failed.load()) result.problem = copied.problem;
      return end;
    };
    std::string validator;
    RangesEnd end = fetchRanges(engine_, environment_, item_.url, fileSize, plan.fetches, validator, write,
                                result.problem, poll, received);
    if (end != RangesEnd::Done) return ended(end);
    // The ranges are in: the copying ends.
    while (!copier.waitEnded(kWaitSlice)) {
      if (isCancelled(environment_)) return RangesEnd::Cancelled;
      tellCopied();
    }
    copier.join();
    if (isCancelled(environment_)) return RangesEnd::Cancelled;
    tellCopied();
    if (copied.failed.load()) return ended(RangesEnd::Failed);
    if (!copied.stale.empty()) {
      std::vector<ByteRange> stale;
      for (const ByteRange& range : copied.stale) {
        if (!stale.empty() && stale.back().offset + stale.back().length == range.offset) {
          stale.back().length += range.length;
        } else {
          stale.push_back(range);
        }
      }
      end = fetchRanges(engine_, environment_, item_.url, fileSize, stale, validator, write, result.problem, {},
                        received);
      if (end != RangesEnd::Done) return end;
    }
    pieces.end();
    while (!hasher.waitEnded(kWaitSlice)) {
      if (isCancelled(environment_)) return RangesEnd::Cancelled;
    }
    hasher.join();
    if (reader.regularFileSize() != fileSize || !matchesSha256(digest, item_.hash)) {
      result.problem = "the assembled file does not match its hash";
      return RangesEnd::Failed;
    }
    return RangesEnd::Done;
  }

  // Copies the local chunks of plan into the temporary in file order, each
  // checked as it is read; one that is not what its source's head says is
  // left out and noted in copied.stale. Beside the worker's thread; ends
  // early when stop is set or the run is cancelled.
  void copyLocal(const delta::DeltaPlan& plan, WrittenPieces& pieces, const std::atomic<bool>& stop, Copied& copied) {
    std::vector<char> buffer;
    for (const delta::CopyStep& step : plan.copies) {
      if (stop.load() || isCancelled(environment_)) return;
      const OpenSource& open = sources_[step.from.source];
      if (!readChunk(open.file, step.from.offset, step.length, buffer) ||
          delta::chunkHashOf(reinterpret_cast<const std::uint8_t*>(buffer.data()), buffer.size()) != step.hash) {
        copied.stale.push_back({step.offset, step.length});
        continue;
      }
      if (!output_.writeAt(step.offset, buffer.data(), buffer.size())) {
        copied.problem = "cannot write " + item_.partPath + ": " + platform::lastErrorText();
        copied.failed = true;
        return;
      }
      pieces.written({step.offset, step.length});
      copied.bytes += step.length;
    }
  }

  DeltaResult& failed(DeltaResult& result) {
    discard();
    result.end = DeltaEnd::Whole;
    return result;
  }
  DeltaResult& cancelled(DeltaResult& result) {
    discard();
    result.end = DeltaEnd::Cancelled;
    return result;
  }
  void discard() {
    if (output_.ok()) (void)output_.close();
    (void)platform::removeFile(item_.partPath);
  }

  TransferEngine& engine_;
  const DownloadEnvironment& environment_;
  DownloadProgress& progress_;
  const DeltaJob& job_;
  const FetchItem& item_;
  std::string headBytes_;
  std::vector<OpenSource> sources_;
  platform::File output_;
};

}  // namespace

DeltaResult assembleDelta(TransferEngine& engine, const DownloadEnvironment& environment,
                          DownloadProgress& progress, const DeltaJob& job) {
  return Assembly(engine, environment, progress, job).run();
}

std::string deltaFallbackLine(const std::string& path, const std::string& problem) {
  return "Delta update of " + path + " not possible (" + problem + "): fetching the whole file";
}

bool assembleChangedFiles(TransferEngine& engine, const DownloadEnvironment& environment, DownloadProgress& progress,
                          const SiteConfig& site, const std::string& folder, const std::string& serverDir,
                          const ManifestMap& remote, const ManifestMap& installed, std::vector<FetchItem>& items,
                          DeltaTotals& totals) {
  engine.shareLimit(environment.rateLimit, environment.cancel);
  std::vector<DeltaJob> jobs;
  std::vector<std::size_t> itemOf;  // per job: its item
  for (std::size_t i = 0; i < items.size(); ++i) {
    const FetchItem& item = items[i];
    const auto found = remote.find(item.path);
    if (found == remote.end() || !found->second.index || !item.expectedSize || !isSha256Hex(item.hash)) continue;
    // Bytes a stopped run left are continued instead.
    if (const auto record = readDownloadRecord(downloadRecordPath(item.partPath));
        record && record->path == item.path && record->hash == item.hash) {
      continue;
    }
    const ManifestEntry& entry = found->second;
    DeltaJob job;
    job.item = item;
    job.index = *entry.index;
    job.headUrl = fileUrl(site, folder, entry.index->path);
    const std::string finePath = delta::fineFilePath(entry.index->path);
    if (!finePath.empty()) job.fineUrl = fileUrl(site, folder, finePath);
    job.serverDir = serverDir;
    job.sources = deltaSources(serverDir, installed, entry);
    jobs.push_back(std::move(job));
    itemOf.push_back(i);
  }
  if (!prefetchHeads(engine, environment, jobs)) return false;
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    FetchItem& item = items[itemOf[j]];
    const DeltaResult result = assembleDelta(engine, environment, progress, jobs[j]);
    totals.fetchedBytes += result.fetchedBytes;
    totals.reportedBytes += result.reportedBytes;
    switch (result.end) {
      case DeltaEnd::Cancelled:
        // A stopped update leaves no temporary without a record.
        for (const FetchItem& done : items) {
          if (done.assembled) (void)platform::removeFile(done.partPath);
        }
        return false;
      case DeltaEnd::Assembled:
        item.assembled = true;
        ++totals.assembled;
        break;
      case DeltaEnd::Whole:
        if (!result.problem.empty()) writeDownloadLog(environment.logPath, deltaFallbackLine(item.path, result.problem));
        break;
    }
  }
  return true;
}

std::string storedHeadPath(const std::string& serverDir, const std::string& hash) {
  return joinPath(serverDir, delta::indexHeadPath(lowerCase(hash)));
}

void removeUnusedHeads(const std::string& serverDir, const ManifestMap& installed) {
  const platform::Folder folder = platform::openFolder(joinPath(serverDir, kIndexFolderName));
  if (!folder.ok()) return;
  std::set<std::string> keep;
  for (const auto& [path, entry] : installed) {
    if (entry.index && isSha256Hex(entry.hash)) keep.insert(fileNamePart(storedHeadPath(serverDir, entry.hash)));
  }
  std::vector<std::string> names;
  (void)platform::listNames(folder, names);
  for (const std::string& name : names) {
    if (keep.count(name) == 0 && platform::pathKindIn(folder, name) != platform::PathKind::Folder) {
      (void)platform::removeFileIn(folder, name);
    }
  }
}

std::vector<DeltaSource> deltaSources(const std::string& serverDir, const ManifestMap& installed,
                                      const ManifestEntry& remote) {
  std::vector<DeltaSource> sources;
  const std::string localPath = joinPath(serverDir, remote.path);
  if (const auto old = installed.find(remote.path); old != installed.end()) {
    if (old->second.hash != remote.hash) sources.push_back({localPath, old->second, true});
  } else if (const std::optional<std::uint64_t> size = platform::regularFileSizeAt(localPath);
             size && platform::pathKind(localPath) == platform::PathKind::File) {
    // A file the record no longer vouches for (a run stopped while it was
    // replaced): its chunks are checked as they are read all the same.
    ManifestEntry unknown;
    unknown.path = remote.path;
    unknown.size = static_cast<std::int64_t>(*size);
    sources.push_back({localPath, unknown, true});
  }
  for (const auto& [path, entry] : installed) {
    if (path == remote.path || !entry.index || !isSha256Hex(entry.hash)) continue;
    if (!platform::isRegularFile(storedHeadPath(serverDir, entry.hash))) continue;
    sources.push_back({joinPath(serverDir, path), entry, false});
  }
  return sources;
}

}  // namespace kv::updater
