#pragma once

#include <cstdint>
#include <string>

namespace kv::platform::win32 {

// UTF-8 to UTF-16 for the wide-character functions; invalid bytes become
// U+FFFD.
std::wstring widen(const std::string& utf8);

// UTF-16 to UTF-8.
std::string narrow(const std::wstring& wide);

// The system's text for an error code, without the trailing line break; the
// code in decimal when the system has no text for it.
std::string systemMessage(std::uint32_t code);

}  // namespace kv::platform::win32
