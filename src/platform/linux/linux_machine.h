#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/machine.h"

namespace kv::platform::linux_backend {

// Where the machine identity is read, first readable wins.
inline constexpr const char* kMachineIdentityFiles = "/etc/machine-id:/var/lib/dbus/machine-id";

// The machine facts of Linux. Needs neither a window system nor drawing
// libraries: the OpenGL probe, which does, is handed in by the window
// backend.
class LinuxMachine : public Machine {
 public:
  // Asks the graphics driver for its OpenGL version; nothing when it cannot.
  using OpenGLProbe = std::function<std::optional<std::string>()>;

  // identityFiles: where the machine identity is read, first readable wins.
  // Without a probe the OpenGL version is never known.
  explicit LinuxMachine(std::string identityFiles = kMachineIdentityFiles, OpenGLProbe probe = {});
  ~LinuxMachine() override;
  std::string executablePath() override;
  std::string profileFolder() override;
  std::string machineIdentity() override;
  bool runtimeInstalled() override;
  bool is64Bit() override;
  bool claimSingleInstance(const std::string& className) override;
  std::optional<std::string> probeOpenGLVersion() override;
  bool libraryExports(const std::string& path, const std::string& symbol) override;

 private:
  std::string identityFiles_;
  OpenGLProbe probe_;
  int lockFd_ = -1;
};

}  // namespace kv::platform::linux_backend
