#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kv::updater {

class TransferEngine;

// How a streamed transfer ended at the transport level.
enum class TransferOutcome {
  Completed,   // the response arrived whole; status tells what it was
  Failed,      // resolve, connect, TLS, read or write failure; errorText says which
  InitFailed,  // the transport could not set itself up
  Aborted,     // the progress callable asked to stop
};

struct TransferResult {
  TransferOutcome outcome = TransferOutcome::Failed;
  long status = 0;        // final HTTP status after redirects; 0 when none arrived
  std::string errorText;  // Failed: the transport's reason
  // Failed: the connection was refused, reset or closed before the answer
  // was whole (what a site that limits connections does to the extra ones).
  bool connectionLost = false;
  // Completed or Failed: a range was asked for and the answer was a 206
  // that does not continue the bytes held; nothing of it was written.
  bool rangeRefused = false;
};

// Receives the body of a transfer piece by piece; false stops the transfer
// (it then fails with a write error).
using ByteSink = std::function<bool(const char* data, std::size_t size)>;
// Told the bytes received so far in the current transfer; false aborts it.
using TransferProgress = std::function<bool(std::int64_t received)>;
// Told once, before the first byte of a body that holds the file: rest says
// whether it continues the bytes held (a 206) or is the whole file (a 200),
// validator is the answer's (see answerValidator; "" when it has none).
// False stops the transfer (it then fails with a write error).
using BodyStart = std::function<bool(bool rest, const std::string& validator)>;

// What part of a file a download asks for, and who hears how its answer
// begins.
struct DownloadRange {
  // The bytes already held: 0 asks for the whole file; more asks for the
  // rest ("Range: bytes=FROM-") if the file still has the validator ifRange.
  std::int64_t from = 0;
  // With to at or above from: a slice of the file instead, bytes from..to
  // (both included, "Range: bytes=FROM-TO"), taken only as the exact 206;
  // a 200 (a site that ignores ranges, or an If-Range that no longer
  // holds) refuses it like a 206 of other bytes.
  std::int64_t to = -1;
  std::string ifRange;
  BodyStart bodyStart;  // may be empty

  // Whether the request asks for a range at all.
  bool asksRange() const { return from > 0 || isSlice(); }
  bool isSlice() const { return to >= from && to >= 0; }
};

// The HTTP client of one update run. One object serves one thread; it keeps
// its connections alive from one request to the next. Every request follows
// up to kMaxRedirects redirects, verifies the server's certificate and host
// name, and never examines the status code except where said.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // GET with agent "KVLauncher", always answered by the server (no cache).
  // True when a whole response arrived, whatever its status; body then holds
  // it. False when there was no response, the transfer broke off, or the body
  // exceeds maxBytes; body is then left untouched.
  [[nodiscard]] virtual bool getText(const std::string& url, std::size_t maxBytes, std::string& body) = 0;

  // GET with agent "KVLauncher/1.0". Same answers as getText.
  [[nodiscard]] virtual bool getBody(const std::string& url, std::size_t maxBytes, std::string& body) = 0;

  // GET with agent "KVLauncher/1.0" that reads the headers of the final
  // response and not its body. True when a response arrived; lastModified
  // then holds its first Last-Modified value without surrounding blanks, or
  // "" when it has none. False when no response arrived (lastModified
  // untouched).
  [[nodiscard]] virtual bool getLastModified(const std::string& url, std::string& lastModified) = 0;

  // GET with agent "KVLauncher/1.0" and TLS 1.2 or newer, streaming the final
  // response's body into sink. progress (may be empty) hears the running byte
  // count. maxBytes is the most a status-200 body may hold (0: it must be
  // empty): a longer one fails as soon as it exceeds it. The body of any
  // other status is an error page: it is cut after kErrorPageLimit bytes and
  // the transfer then counts as completed with that status. With range.from
  // above 0 (then maxBytes is the file's size), a 206 that continues the held
  // bytes (judgeAnswerBody) is a body of at most maxBytes - range.from bytes;
  // any other 206 ends the transfer at once with rangeRefused. A slice
  // (range.isSlice(), maxBytes the file's size) takes only the 206 of
  // exactly its bytes, a body of at most to - from + 1 bytes; any other
  // answer but an error page ends it at once with rangeRefused.
  virtual TransferResult download(const std::string& url, const ByteSink& sink,
                                  const TransferProgress& progress, std::int64_t maxBytes,
                                  const DownloadRange& range) = 0;

  // How the last getText, getBody or getLastModified of this object went:
  // Completed with the final status when a response arrived, Failed with the
  // transport's reason when none did (or the body exceeded its limit).
  // Completed with status 0 when the transport cannot tell.
  virtual TransferResult lastSmallRequest() const { return {TransferOutcome::Completed, 0, {}}; }

  // The engine that runs many downloads of one run at once, over at most
  // connections connections to a site (1: one transfer at a time). The
  // default runs them one after another through download. Worker thread.
  virtual std::unique_ptr<TransferEngine> openEngine(int connections);
};

}  // namespace kv::updater
