#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kv::platform {

// Whether the bytes start like a Windows executable image (the "MZ" mark).
[[nodiscard]] bool looksLikePeImage(std::span<const std::uint8_t> bytes);

// Whether the Windows library image held in bytes (a PE32 or PE32+ file as
// stored on disk) lists symbol by name in its export table with a function
// behind it. Nothing is loaded or run. Every offset, size and count read from
// the image is checked against the image's end, so a truncated or damaged
// image answers false and never reads outside bytes. An export that forwards
// to another library counts as present. Any thread.
[[nodiscard]] bool peExportsSymbol(std::span<const std::uint8_t> bytes, std::string_view symbol);

}  // namespace kv::platform
