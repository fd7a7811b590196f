#include <cstdio>
#include <cstdlib>

#include "app/launcher.h"
#include "platform/linux/linux_platform.h"

int main() {
  // The backend lives until the process ends: updater workers that were
  // detached at shutdown may still post to the window.
  auto* backend = new kv::platform::linux_backend::LinuxPlatform();
  const int code = kv::app::runLauncher(backend->platform());
  std::fflush(nullptr);
  // End at once, without running destructors under detached workers.
  std::_Exit(code);
}
