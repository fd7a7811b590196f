#include "platform/pe/pe_exports.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace kv::platform {
namespace {

// Offsets and sizes of the on-disk structures of a PE image.
constexpr std::size_t kDosLfanewOffset = 0x3C;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kExportDirectorySize = 40;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// Within the optional header: SizeOfHeaders, NumberOfRvaAndSizes and the
// first data directory (the export table).
constexpr std::size_t kSizeOfHeadersOffset = 60;
constexpr std::size_t kPe32RvaCountOffset = 92;
constexpr std::size_t kPe32PlusRvaCountOffset = 108;
// A name longer than this is not a symbol we look for.
constexpr std::size_t kMaxSymbolLength = 4096;

struct Section {
  std::uint64_t virtualAddress = 0;
  std::uint64_t virtualSize = 0;
  std::uint64_t rawOffset = 0;
  std::uint64_t rawSize = 0;
};

class ImageReader {
 public:
  explicit ImageReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::optional<std::uint16_t> u16(std::uint64_t offset) const {
    if (!fits(offset, 2)) return std::nullopt;
    const auto at = static_cast<std::size_t>(offset);  // fits() bounded it by the size
    return static_cast<std::uint16_t>(bytes_[at] | (bytes_[at + 1] << 8));
  }

  std::optional<std::uint32_t> u32(std::uint64_t offset) const {
    if (!fits(offset, 4)) return std::nullopt;
    const auto at = static_cast<std::size_t>(offset);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      value |= static_cast<std::uint32_t>(bytes_[at + i]) << (8 * i);
    }
    return value;
  }

  bool fits(std::uint64_t offset, std::uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }

  std::uint8_t byte(std::uint64_t offset) const { return bytes_[static_cast<std::size_t>(offset)]; }

 private:
  std::span<const std::uint8_t> bytes_;
};

// The size a section takes in memory.
std::uint64_t extentOf(const Section& section) {
  return section.virtualSize != 0 ? section.virtualSize : section.rawSize;
}

class PeImage {
 public:
  explicit PeImage(std::span<const std::uint8_t> bytes) : reader_(bytes) {}

  // Reads the headers and the section table; false when they are damaged.
  bool parseHeaders() {
    const auto lfanew = reader_.u32(kDosLfanewOffset);
    if (!lfanew) return false;
    const std::uint64_t peOffset = *lfanew;
    const auto signature = reader_.u32(peOffset);
    if (!signature || *signature != 0x00004550u) return false;  // "PE\0\0"
    const std::uint64_t fileHeader = peOffset + 4;
    const auto sectionCount = reader_.u16(fileHeader + 2);
    const auto optionalSize = reader_.u16(fileHeader + 16);
    if (!sectionCount || !optionalSize) return false;
    const std::uint64_t optional = fileHeader + kFileHeaderSize;
    if (!reader_.fits(optional, *optionalSize)) return false;
    const auto magic = reader_.u16(optional);
    if (!magic) return false;
    std::size_t rvaCountOffset = 0;
    if (*magic == kPe32Magic) {
      rvaCountOffset = kPe32RvaCountOffset;
    } else if (*magic == kPe32PlusMagic) {
      rvaCountOffset = kPe32PlusRvaCountOffset;
    } else {
      return false;
    }
    // Everything read from the optional header must lie inside its declared
    // size, not merely inside the file.
    if (*optionalSize < rvaCountOffset + 4) return false;
    const auto rvaCount = reader_.u32(optional + rvaCountOffset);
    const auto headersSize = reader_.u32(optional + kSizeOfHeadersOffset);
    if (!rvaCount || !headersSize) return false;
    headersSize_ = *headersSize;
    if (*rvaCount >= 1 && *optionalSize >= rvaCountOffset + 4 + 8) {
      const auto exportRva = reader_.u32(optional + rvaCountOffset + 4);
      const auto exportSize = reader_.u32(optional + rvaCountOffset + 8);
      if (!exportRva || !exportSize) return false;
      exportRva_ = *exportRva;
      exportSize_ = *exportSize;
    }
    const std::uint64_t table = optional + *optionalSize;
    if (!reader_.fits(table, static_cast<std::uint64_t>(*sectionCount) * kSectionHeaderSize)) {
      return false;
    }
    sections_.reserve(*sectionCount);
    for (std::uint64_t i = 0; i < *sectionCount; ++i) {
      const std::uint64_t header = table + i * kSectionHeaderSize;
      Section section;
      section.virtualSize = *reader_.u32(header + 8);
      section.virtualAddress = *reader_.u32(header + 12);
      section.rawSize = *reader_.u32(header + 16);
      section.rawOffset = *reader_.u32(header + 20);
      // A section whose data runs past the end of the file belongs to a
      // cut or damaged image, which the system loader refuses as well.
      if (section.rawSize != 0 && !reader_.fits(section.rawOffset, section.rawSize)) return false;
      // The system loader wants the sections in ascending address order
      // without overlap; an image that breaks this is damaged. The order
      // also lets mapRange search the table in logarithmic time.
      if (!sections_.empty()) {
        const Section& previous = sections_.back();
        if (section.virtualAddress < previous.virtualAddress + extentOf(previous)) return false;
      }
      sections_.push_back(section);
    }
    return true;
  }

  // The section whose memory range holds rva, if any.
  const Section* sectionAt(std::uint64_t rva) const {
    // The last section that starts at or below rva is the only candidate.
    const auto after = std::upper_bound(
        sections_.begin(), sections_.end(), rva,
        [](std::uint64_t value, const Section& section) { return value < section.virtualAddress; });
    if (after == sections_.begin()) return nullptr;
    const Section& section = *(after - 1);
    if (rva - section.virtualAddress >= extentOf(section)) return nullptr;
    return &section;
  }

  // The file offset of length bytes starting at rva, when the whole range is
  // stored in the file within one section (or within the headers).
  std::optional<std::uint64_t> mapRange(std::uint64_t rva, std::uint64_t length) const {
    if (rva < headersSize_) {
      if (length > headersSize_ - rva || !reader_.fits(rva, length)) return std::nullopt;
      return rva;
    }
    const Section* found = sectionAt(rva);
    if (found == nullptr) return std::nullopt;
    const Section& section = *found;
    const std::uint64_t delta = rva - section.virtualAddress;
    // Bytes past the raw data are zero-filled in memory but absent from the
    // file; nothing we read may lie there.
    if (delta > section.rawSize || length > section.rawSize - delta) return std::nullopt;
    const std::uint64_t offset = section.rawOffset + delta;
    if (!reader_.fits(offset, length)) return std::nullopt;
    return offset;
  }

  // The byte at rva as the image holds it in memory: bytes of a section
  // past its stored data are zero. Nothing for addresses outside the image.
  std::optional<std::uint8_t> memoryByte(std::uint64_t rva) const {
    if (const auto offset = mapRange(rva, 1)) return reader_.byte(*offset);
    if (sectionAt(rva) != nullptr) return static_cast<std::uint8_t>(0);
    return std::nullopt;
  }

  // How the NUL-terminated name at rva orders against symbol, byte by byte
  // as unsigned values: below zero, zero or above zero. Nothing when the
  // name runs outside the image.
  std::optional<int> compareName(std::uint64_t rva, std::string_view symbol) const {
    for (std::size_t i = 0; i <= symbol.size(); ++i) {
      const auto byte = memoryByte(rva + i);
      if (!byte) return std::nullopt;
      const auto wanted = i < symbol.size() ? static_cast<std::uint8_t>(symbol[i]) : std::uint8_t{0};
      if (*byte != wanted) return *byte < wanted ? -1 : 1;
      if (wanted == 0) return 0;
    }
    return 0;
  }

  // Whether the export table names symbol with a function behind it.
  bool exports(std::string_view symbol) const {
    if (exportRva_ == 0 || exportSize_ == 0) return false;
    const auto directory = mapRange(exportRva_, kExportDirectorySize);
    if (!directory) return false;
    const std::uint32_t functionCount = *reader_.u32(*directory + 20);
    const std::uint32_t nameCount = *reader_.u32(*directory + 24);
    const std::uint32_t functionsRva = *reader_.u32(*directory + 28);
    const std::uint32_t namesRva = *reader_.u32(*directory + 32);
    const std::uint32_t ordinalsRva = *reader_.u32(*directory + 36);
    if (nameCount == 0) return false;
    // The arrays must be stored in full: this bounds every loop below by the
    // size of the image, whatever the counts claim.
    const auto names = mapRange(namesRva, static_cast<std::uint64_t>(nameCount) * 4);
    const auto ordinals = mapRange(ordinalsRva, static_cast<std::uint64_t>(nameCount) * 2);
    const auto functions = mapRange(functionsRva, static_cast<std::uint64_t>(functionCount) * 4);
    if (!names || !ordinals || !functions) return false;
    // The names are sorted, and the system loader looks them up by binary
    // search; so does this, which also keeps huge tables cheap.
    std::uint64_t low = 0;
    std::uint64_t high = nameCount;
    while (low < high) {
      const std::uint64_t middle = low + (high - low) / 2;
      const std::uint32_t nameRva = *reader_.u32(*names + middle * 4);
      const std::optional<int> order = compareName(nameRva, symbol);
      if (!order) return false;
      if (*order < 0) {
        low = middle + 1;
      } else if (*order > 0) {
        high = middle;
      } else {
        const std::uint16_t ordinal = *reader_.u16(*ordinals + middle * 2);
        if (ordinal >= functionCount) return false;
        const std::uint32_t functionRva =
            *reader_.u32(*functions + static_cast<std::uint64_t>(ordinal) * 4);
        return functionRva != 0;
      }
    }
    return false;
  }

 private:
  ImageReader reader_;
  std::uint64_t headersSize_ = 0;
  std::uint64_t exportRva_ = 0;
  std::uint64_t exportSize_ = 0;
  std::vector<Section> sections_;
};

}  // namespace

bool looksLikePeImage(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
}

bool peExportsSymbol(std::span<const std::uint8_t> bytes, std::string_view symbol) {
  if (symbol.empty() || symbol.size() > kMaxSymbolLength) return false;
  if (symbol.find('\0') != std::string_view::npos) return false;
  if (!looksLikePeImage(bytes)) return false;
  PeImage image(bytes);
  if (!image.parseHeaders()) return false;
  return image.exports(symbol);
}

}  // namespace kv::platform
