#include "platform/win32/win32_platform.h"

namespace kv::platform::win32 {

Win32Platform::Win32Platform(int showCommand) : window_(showCommand) {}

}  // namespace kv::platform::win32
