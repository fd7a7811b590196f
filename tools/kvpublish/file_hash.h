#pragma once

#include <cstdint>
#include <string>

namespace kv::tools {

// The SHA-256 of a file's content as 64 lower-case hexadecimal digits, and
// its size in bytes. False with the system's reason when the file cannot be
// read.
[[nodiscard]] bool hashFile(const std::string& path, std::string& hexDigest, std::int64_t& size,
                            std::string& error);

// The SHA-256 of bytes in memory, as hashFile gives it.
std::string sha256Hex(const std::string& bytes);

}  // namespace kv::tools
