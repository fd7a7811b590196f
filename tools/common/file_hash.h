#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kv::tools {

// The SHA-256 of a file's content as 64 lower-case hexadecimal digits, and
// its size in bytes. False with the system's reason when the file cannot be
// read. onRead, when given, is told the bytes of each read as it is hashed;
// onBytes, when given, gets the bytes themselves, in order.
[[nodiscard]] bool hashFile(const std::string& path, std::string& hexDigest, std::int64_t& size,
                            std::string& error, const std::function<void(std::int64_t)>& onRead = {},
                            const std::function<void(const std::uint8_t*, std::size_t)>& onBytes = {});

// The SHA-256 of bytes in memory, as hashFile gives it.
std::string sha256Hex(const std::string& bytes);

}  // namespace kv::tools
