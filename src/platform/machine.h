#pragma once

#include <optional>
#include <string>

namespace kv::platform {

// Facts about the machine and the running program.
class Machine {
 public:
  virtual ~Machine() = default;

  // Full path of the running launcher executable.
  virtual std::string executablePath() = 0;

  // The user's profile (home) folder, without a trailing separator; empty
  // when unknown.
  virtual std::string profileFolder() = 0;

  // A stable per-machine identifier; "unknown" when none can be read.
  virtual std::string machineIdentity() = 0;

  // Whether the runtime redistributable that the game client needs is
  // installed.
  virtual bool runtimeInstalled() = 0;

  // Whether the operating system is 64-bit.
  virtual bool is64Bit() = 0;

  // Makes this process the only launcher of the user: answers false when
  // another live instance already holds the claim. The claim ends with the
  // process, also when it crashes.
  [[nodiscard]] virtual bool claimSingleInstance(const std::string& className) = 0;

  // The OpenGL version string of the default driver, probed on a hidden
  // 1 x 1 window; nothing when no display or no OpenGL is available.
  virtual std::optional<std::string> probeOpenGLVersion() = 0;

  // Whether the shared library at path can be loaded on this machine and
  // exports the symbol. Libraries for another system (e.g. Windows DLLs run
  // through a compatibility layer) are checked by reading their export
  // table without loading them.
  virtual bool libraryExports(const std::string& path, const std::string& symbol) = 0;
};

}  // namespace kv::platform
