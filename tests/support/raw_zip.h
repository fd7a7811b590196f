#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::test {

// One entry of a hand-built archive; every field that a hostile archive may
// bend can be set.
struct RawEntry {
  std::string name;  // stored byte for byte (NUL, backslash, "..", ...)
  std::string data;
  bool deflate = false;
  std::uint8_t system = 3;              // creator: 3 = Unix, 0 = MS-DOS
  std::uint32_t unixMode = 0100644;     // upper half of the external attributes
  std::optional<std::uint32_t> crc;     // the CRC-32 to store (default: the real one)
  std::optional<std::uint64_t> size;    // the uncompressed size to store (default: the real one)
  std::optional<std::uint16_t> method;  // the method to store (default: 8 when deflated, else 0)
  std::uint16_t flags = 0;              // general purpose bits (1: encrypted, 0x800: UTF-8 name)
};

// Layout choices for the end of a hand-built archive.
struct RawLayout {
  std::string comment;
  std::optional<std::uint16_t> commentLength;  // the length to store (default: the real one)
  bool zip64 = false;                          // ZIP64 end records (forced above 65,534 entries)
};

// A ZIP archive image built byte by byte.
std::string buildRawZip(const std::vector<RawEntry>& entries, const RawLayout& layout = {});

// The CRC-32 of data.
std::uint32_t crc32Of(const std::string& data);

}  // namespace kv::test
