#pragma once

#include <filesystem>
#include <string>

namespace kv::platform {

// Conversions between the launcher's UTF-8 paths and the standard library's
// paths, for the platform's own implementation: one pair per operating
// system.
std::filesystem::path nativePath(const std::string& path);
std::string utf8Path(const std::filesystem::path& path);

}  // namespace kv::platform
