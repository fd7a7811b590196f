#pragma once

#include <ctime>
#include <optional>

namespace kv::platform {

// The broken-down local time of a moment, or nothing when the system cannot
// convert it. Any thread.
std::optional<std::tm> localTime(std::time_t moment);

}  // namespace kv::platform
