#pragma once

#include <string>

namespace kv::platform {

// Web pages and processes.
class Shell {
 public:
  virtual ~Shell() = default;

  // Opens the address in the default browser, detached; never waits and
  // ignores the outcome. Main thread.
  virtual void openUrl(const std::string& url) = 0;

  // Starts a program detached: new session, no inherited descriptors beyond
  // the standard three, no arguments, the given working directory. Answers
  // false when the program could not be started (missing, not executable).
  [[nodiscard]] virtual bool startProcess(const std::string& executable,
                                          const std::string& workingDirectory) = 0;
};

}  // namespace kv::platform
