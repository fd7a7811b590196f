#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv::archive {

// The CRC-32 (as ZIP archives list it) of the regular file at path, read in
// bounded pieces; nothing when it cannot be read. Any thread.
[[nodiscard]] std::optional<std::uint32_t> fileCrc32(const std::string& path);

}  // namespace kv::archive
