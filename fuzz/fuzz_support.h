#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::fuzz {

// A folder of this process under the system's temporary folder, made on the
// first call and removed when the process ends normally. One per process,
// so parallel fuzzing jobs never share files.
const std::string& processFolder();

// A fresh, empty folder named name inside processFolder(); whatever was
// there before is removed first.
std::string freshFolder(std::string_view name);

// Writes bytes to path, replacing the file. Aborts when it cannot: the
// target would otherwise test nothing.
void writeBytes(const std::string& path, std::string_view bytes);

// Every path below folder (relative, "/"-separated, sorted), without
// following symbolic links; a link is listed but not entered.
std::vector<std::string> listTree(const std::string& folder);

// Removes folder with everything inside it; a missing folder is fine.
void removeTree(const std::string& folder);

// Stops the process with a message on standard error: a broken property is
// a finding just like a crash.
[[noreturn]] void fail(const char* what, std::string_view detail = {});

// The input as text, byte for byte.
inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace kv::fuzz
