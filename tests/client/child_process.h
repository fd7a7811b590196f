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

// Everything written into the named pipe at path by the first writer, read
// until that writer closes it; nothing when no writer finished within
// timeoutSeconds.
std::optional<std::string> readFifo(const std::string& path, int timeoutSeconds);

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
