#include "app/launcher.h"
#include "platform/linux/linux_platform.h"

int main() {
  kv::platform::linux_backend::LinuxPlatform backend;
  return kv::app::runLauncher(backend.platform());
}
