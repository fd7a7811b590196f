#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kv::tools {

// The SHA-256 of a file's content as 64 lower-case hexadecimal digits, and
// its size in bytes. False with the system's reason when the file cannot be
// read. onRead, when given, is told the bytes of each read as it is hashed.
[[nodiscard]] bool hashFile(const std::string& path, std::string& hexDigest, std::int64_t& size,
                            std::string& error, const std::function<void(std::int64_t)>& onRead = {});

// The SHA-256 of bytes in memory, as hashFile gives it.
std::string sha256Hex(const std::string& bytes);

}  // namespace kv::tools
