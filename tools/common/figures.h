#pragma once

#include <cstdint>
#include <string>

namespace kv::tools {

// Bytes as "512 B", "1.5 KB", "143.2 MB", "2.10 GB" (units of 1024).
std::string byteText(std::int64_t bytes);

// Seconds as "0.4 s", "42 s", "11 min 40 s", "2 h 5 min".
std::string durationText(double seconds);

}  // namespace kv::tools
