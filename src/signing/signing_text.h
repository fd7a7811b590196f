#pragma once
// Text helpers shared by the signing formats (not part of the interface).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::signing {

// Initialises libsodium once; throws if it cannot.
void ensureSodium();

// Splits text at "\n" (a "\r" before it dropped); false when there are more
// than maxLines lines. A final line break gives a last, empty line.
bool splitLines(std::string_view text, std::size_t maxLines, std::vector<std::string_view>& lines);
std::string_view trimBlanks(std::string_view text);
// Line breaks and other control characters become spaces.
std::string singleLine(std::string_view text);

// Strict standard base64 with padding, decoding to exactly `bytes` bytes.
bool decodeBase64Exact(std::string_view text, std::size_t bytes, std::vector<std::uint8_t>& out);
std::string encodeBase64(const std::vector<std::uint8_t>& bytes);

// A decimal number without sign or leading zeros, below limit.
bool parseDecimal(std::string_view text, std::uint64_t limit, std::uint64_t& value);

}  // namespace kv::signing
