#include "platform/linux/linux_platform.h"

namespace kv::platform::linux_backend {

LinuxPlatform::LinuxPlatform() = default;

}  // namespace kv::platform::linux_backend
