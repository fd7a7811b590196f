#include <ctime>

#include "platform/local_time.h"

namespace kv::platform {

std::optional<std::tm> localTime(std::time_t moment) {
  std::tm local{};
  if (::localtime_s(&local, &moment) != 0) return std::nullopt;
  return local;
}

}  // namespace kv::platform
