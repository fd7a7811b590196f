#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv::test {

// What a built Windows library image looks like.
struct PeDllOptions {
  bool pe32Plus = false;             // PE32+ (64-bit) instead of PE32
  std::vector<std::string> exports;  // exported function names
};

// A built image and where its parts lie in the file, so that tests can
// damage them on purpose.
struct PeDllImage {
  std::vector<std::uint8_t> bytes;
  std::size_t peHeader = 0;         // file offset of "PE\0\0"
  std::size_t optionalHeader = 0;   // file offset of the optional header
  std::size_t rvaCountField = 0;    // file offset of NumberOfRvaAndSizes
  std::size_t exportEntry = 0;      // file offset of the export data directory entry
  std::size_t sectionTable = 0;     // file offset of the first section header
  std::size_t exportDirectory = 0;  // file offset of the export directory
  std::uint32_t exportRva = 0;      // its address in memory
  std::size_t namesArray = 0;       // file offset of the name pointer array
  std::size_t ordinalsArray = 0;    // file offset of the ordinal array
  std::size_t functionsArray = 0;   // file offset of the function address array
  std::uint32_t edataRva = 0;       // start of the section holding all of the above
  std::size_t edataRawOffset = 0;   // its file offset
  std::size_t edataRawSize = 0;     // its size in the file
};

// Builds a minimal, valid library image: headers, a code section and an
// export section listing options.exports (sorted by name, as linkers do).
PeDllImage buildPeDll(const PeDllOptions& options);

// Little-endian field writes into an image.
void putU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value);
void putU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);

}  // namespace kv::test
