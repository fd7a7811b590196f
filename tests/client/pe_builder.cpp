#include "pe_builder.h"

#include <algorithm>
#include <cstring>

namespace kv::test {
namespace {

constexpr std::size_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::size_t kHeadersSize = 0x400;
constexpr std::uint32_t kTextRva = 0x1000;
constexpr std::uint32_t kEdataRva = 0x2000;

std::size_t alignUp(std::size_t value, std::size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void putBytes(std::vector<std::uint8_t>& bytes, std::size_t offset, const void* data,
              std::size_t size) {
  std::memcpy(bytes.data() + offset, data, size);
}

void putSection(std::vector<std::uint8_t>& bytes, std::size_t at, const char* name,
                std::uint32_t virtualSize, std::uint32_t rva, std::uint32_t rawSize,
                std::uint32_t rawOffset, std::uint32_t characteristics) {
  putBytes(bytes, at, name, std::strlen(name));
  putU32(bytes, at + 8, virtualSize);
  putU32(bytes, at + 12, rva);
  putU32(bytes, at + 16, rawSize);
  putU32(bytes, at + 20, rawOffset);
  putU32(bytes, at + 36, characteristics);
}

}  // namespace

void putU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
  bytes.at(offset) = static_cast<std::uint8_t>(value);
  bytes.at(offset + 1) = static_cast<std::uint8_t>(value >> 8);
}

void putU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

PeDllImage buildPeDll(const PeDllOptions& options) {
  std::vector<std::string> names = options.exports;
  std::sort(names.begin(), names.end());
  const auto count = static_cast<std::uint32_t>(names.size());
  const char* dllName = "library.dll";

  // The export section: directory, arrays, then the strings.
  const std::size_t directorySize = 40;
  const std::size_t functionsAt = directorySize;
  const std::size_t namesAt = functionsAt + 4 * names.size();
  const std::size_t ordinalsAt = namesAt + 4 * names.size();
  std::size_t stringsAt = ordinalsAt + 2 * names.size();
  std::size_t edataSize = stringsAt + std::strlen(dllName) + 1;
  for (const std::string& name : names) edataSize += name.size() + 1;

  const std::size_t textRaw = kHeadersSize;
  const std::size_t textRawSize = kFileAlignment;
  const std::size_t edataRaw = textRaw + textRawSize;
  const std::size_t edataRawSize = alignUp(edataSize, kFileAlignment);

  PeDllImage image;
  std::vector<std::uint8_t>& b = image.bytes;
  b.assign(edataRaw + edataRawSize, 0);

  // DOS header with a short stub.
  b[0] = 'M';
  b[1] = 'Z';
  putU32(b, 0x3C, 0x80);
  const char* stub = "This program cannot be run in DOS mode.";
  putBytes(b, 0x4E, stub, std::strlen(stub));

  image.peHeader = 0x80;
  putBytes(b, image.peHeader, "PE\0\0", 4);
  const std::size_t fileHeader = image.peHeader + 4;
  const std::uint16_t optionalSize = options.pe32Plus ? 240 : 224;
  putU16(b, fileHeader, options.pe32Plus ? 0x8664 : 0x014C);
  putU16(b, fileHeader + 2, 2);  // sections
  putU16(b, fileHeader + 16, optionalSize);
  putU16(b, fileHeader + 18, options.pe32Plus ? 0x2022 : 0x2102);  // DLL, executable

  const std::size_t opt = fileHeader + 20;
  image.optionalHeader = opt;
  putU16(b, opt, options.pe32Plus ? 0x20B : 0x10B);
  putU32(b, opt + 4, static_cast<std::uint32_t>(textRawSize));  // SizeOfCode
  putU32(b, opt + 16, kTextRva);                                // AddressOfEntryPoint
  putU32(b, opt + 20, kTextRva);                                // BaseOfCode
  if (options.pe32Plus) {
    putU32(b, opt + 24, 0x80000000u);  // ImageBase (low half)
    putU32(b, opt + 28, 0x1);
  } else {
    putU32(b, opt + 28, 0x10000000u);  // ImageBase
  }
  putU32(b, opt + 32, kSectionAlignment);
  putU32(b, opt + 36, kFileAlignment);
  putU16(b, opt + 40, 6);  // operating system version
  putU16(b, opt + 48, 6);  // subsystem version
  const auto imageSize = static_cast<std::uint32_t>(
      kEdataRva + alignUp(edataSize, kSectionAlignment));
  putU32(b, opt + 56, imageSize);
  putU32(b, opt + 60, static_cast<std::uint32_t>(kHeadersSize));
  putU16(b, opt + 68, 2);  // subsystem: GUI
  const std::size_t rvaCount = opt + (options.pe32Plus ? 108 : 92);
  image.rvaCountField = rvaCount;
  putU32(b, rvaCount, 16);
  image.exportEntry = rvaCount + 4;
  putU32(b, image.exportEntry, kEdataRva);
  putU32(b, image.exportEntry + 4, static_cast<std::uint32_t>(edataSize));

  image.sectionTable = opt + optionalSize;
  putSection(b, image.sectionTable, ".text", 0x100, kTextRva, static_cast<std::uint32_t>(textRawSize),
             static_cast<std::uint32_t>(textRaw), 0x60000020u);
  putSection(b, image.sectionTable + 40, ".edata", static_cast<std::uint32_t>(edataSize), kEdataRva,
             static_cast<std::uint32_t>(edataRawSize), static_cast<std::uint32_t>(edataRaw),
             0x40000040u);

  // Code: one "ret" per export, 16 bytes apart.
  for (std::uint32_t i = 0; i < count; ++i) b[textRaw + 16 * i] = 0xC3;

  const std::size_t d = edataRaw;
  image.exportDirectory = d;
  image.exportRva = kEdataRva;
  image.edataRva = kEdataRva;
  image.edataRawOffset = edataRaw;
  image.edataRawSize = edataRawSize;
  image.functionsArray = d + functionsAt;
  image.namesArray = d + namesAt;
  image.ordinalsArray = d + ordinalsAt;
  putU32(b, d + 12, static_cast<std::uint32_t>(kEdataRva + stringsAt));  // Name
  putU32(b, d + 16, 1);                                                   // Base
  putU32(b, d + 20, count);
  putU32(b, d + 24, count);
  putU32(b, d + 28, static_cast<std::uint32_t>(kEdataRva + functionsAt));
  putU32(b, d + 32, static_cast<std::uint32_t>(kEdataRva + namesAt));
  putU32(b, d + 36, static_cast<std::uint32_t>(kEdataRva + ordinalsAt));
  putBytes(b, d + stringsAt, dllName, std::strlen(dllName) + 1);
  stringsAt += std::strlen(dllName) + 1;
  for (std::uint32_t i = 0; i < count; ++i) {
    putU32(b, d + functionsAt + 4 * i, kTextRva + 16 * i);
    putU32(b, d + namesAt + 4 * i, static_cast<std::uint32_t>(kEdataRva + stringsAt));
    putU16(b, d + ordinalsAt + 2 * i, static_cast<std::uint16_t>(i));
    putBytes(b, d + stringsAt, names[i].c_str(), names[i].size() + 1);
    stringsAt += names[i].size() + 1;
  }
  return image;
}

}  // namespace kv::test
