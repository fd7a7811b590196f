#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kv::test {

// What a finished helper program left behind.
struct ChildResult {
  bool finished = false;  // false: it did not end in time and was killed
  int exitCode = -1;      // exit status, or 128 + signal
  std::string output;     // everything it wrote to its standard output
};

// Runs argv[0] (a path) with exactly the environment env ("NAME=value") and
// waits for it, at most timeoutSeconds.
ChildResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       int timeoutSeconds);

// The current environment without the named variables.
std::vector<std::string> environmentWithout(const std::vector<std::string>& names);

// Creates a named pipe at path.
bool makeFifo(const std::string& path);

// The reading end of a named pipe, opened at once, so that a writer never
// waits for a reader (also when a test stops before it reads).
class FifoReader {
 public:
  explicit FifoReader(const std::string& path);
  ~FifoReader();
  FifoReader(const FifoReader&) = delete;
  FifoReader& operator=(const FifoReader&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  // Everything the first writer wrote, read until it closed the pipe;
  // nothing when no writer finished within timeoutSeconds.
  std::optional<std::string> readAll(int timeoutSeconds);

 private:
  int fd_ = -1;
};

// A virtual X server on a free display, for as long as the object lives.
class XvfbServer {
 public:
  XvfbServer() = default;
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // Starts the server and waits (at most timeoutSeconds) until it accepts
  // connections; false when it could not be started.
  bool start(int timeoutSeconds);
  // ":<n>"
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace kv::test
