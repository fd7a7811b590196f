#include "platform/win32/win32_platform.h"

namespace kv::platform::win32 {

Win32Platform::Win32Platform() = default;

}  // namespace kv::platform::win32
