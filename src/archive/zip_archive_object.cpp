#include "archive/zip_archive_object.h"

#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "archive/archive_path.h"
#include "archive/archive_texts.h"
#include "archive/central_directory.h"
#include "archive/file_source.h"
#include "archive/output_file.h"
#include "platform/file_system.h"

namespace kv::archive {

namespace {

// Extraction moves entry data to disk in pieces of this size.
constexpr std::size_t kPieceSize = 256 * 1024;

[[noreturn]] void fail(std::string_view text, const std::string& path = {}) {
  throw ZipError(std::string(text) + path);
}

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates).
bool isUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t value = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, minimum = 0x80, value = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, minimum = 0x800, value = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, minimum = 0x10000, value = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// Marks, for every entry, whether its stored name holds a NUL byte. The
// library cuts names at a NUL, so the names are compared with the raw
// central directories found at the end of the file; when no directory
// agrees with the library's view, the archive is not trusted.
void markNamesWithNul(const platform::File& file, std::uint64_t fileSize, zip* archive, std::vector<bool>& hasNul) {
  // The library holds every entry in memory, so the count fits in memory.
  const auto count = static_cast<std::size_t>(zip_get_num_entries(archive, 0));
  std::vector<std::string> libraryNames(count);
  for (std::size_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(archive, i, ZIP_FL_ENC_RAW);
    if (name == nullptr) fail(kBadZip);
    libraryNames[i] = name;
  }
  const DirectoryScan scan = scanCentralDirectories(file, fileSize, libraryNames);
  if (scan.directories.empty()) fail(kBadZip);
  hasNul.assign(count, false);
  for (const auto& names : scan.directories) {
    for (std::size_t i = 0; i < count; ++i) {
      if (names[i].find('\0') != std::string::npos) hasNul[i] = true;
    }
  }
}

}  // namespace

bool isFolderEntry(const ZipEntryInfo& entry) { return entry.storedName.ends_with('/'); }

namespace {

// The name a folder entry gives its folder: without the final "/".
std::string_view withoutFolderSlash(const ZipEntryInfo& entry, std::string_view name) {
  if (isFolderEntry(entry) && name.ends_with('/')) name.remove_suffix(1);
  return name;
}

}  // namespace

bool hasSafeName(const ZipEntryInfo& entry) {
  return !entry.nameHasNul && isSafeEntryName(withoutFolderSlash(entry, entry.name)) &&
         isSafeEntryName(withoutFolderSlash(entry, entry.storedName));
}

ZipArchive::ZipArchive() = default;

ZipArchive::~ZipArchive() { close(); }

void ZipArchive::close() {
  if (archive_ != nullptr) zip_discard(archive_);
  archive_ = nullptr;
  if (image_ != nullptr) zip_source_free(image_);
  image_ = nullptr;
  mode_ = ZipMode::None;
  nulNames_.clear();
  destination_.reset();
}

void ZipArchive::load(const std::string& path) {
  close();
  comment_.clear();
  fileName_ = path;
  // Opening never waits on a FIFO at path; only a non-empty regular file is
  // an archive.
  auto file = std::make_shared<platform::File>(platform::openForReading(path));
  if (!file->ok()) fail(kBadZip);
  const std::optional<std::uint64_t> size = file->regularFileSize();
  if (!size || *size == 0) fail(kBadZip);
  const std::uint64_t fileSize = *size;
  // The source shares the file from here on; it stays open as long as the
  // archive.
  zip_source* source = makeFileSource(file, fileSize);
  if (source == nullptr) fail(kBadZip);
  zip_error_t error;
  zip_error_init(&error);
  archive_ = zip_open_from_source(source, ZIP_RDONLY, &error);
  zip_error_fini(&error);
  if (archive_ == nullptr) {
    const DirectoryScan scan = scanCentralDirectories(*file, fileSize, {});
    zip_source_free(source);
    fail(scan.endRecordFound ? kBadZip : kNoEndRecord);
  }
  mode_ = ZipMode::Reading;
  try {
    markNamesWithNul(*file, fileSize, archive_, nulNames_);
  } catch (...) {
    close();
    throw;
  }
  int commentLength = 0;
  const char* comment = zip_get_archive_comment(archive_, &commentLength, ZIP_FL_ENC_RAW);
  if (comment != nullptr && commentLength > 0) comment_.assign(comment, static_cast<std::size_t>(commentLength));
}

std::vector<ZipEntryInfo> ZipArchive::listEntries() {
  if (mode_ == ZipMode::Writing) fail(kBadZip);
  std::vector<ZipEntryInfo> entries;
  if (mode_ == ZipMode::None) return entries;
  const zip_int64_t count = zip_get_num_entries(archive_, 0);
  if (count < 0) fail(kBadZip);
  entries.reserve(static_cast<std::size_t>(count));
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive_, i, 0, &stat) != 0 || (stat.valid & ZIP_STAT_NAME) == 0) fail(kBadZip);
    ZipEntryInfo info;
    info.index = i;
    info.name = stat.name;
    const char* stored = zip_get_name(archive_, i, ZIP_FL_ENC_RAW);
    if (stored == nullptr) fail(kBadZip);
    info.storedName = stored;
    info.nameHasNul = nulNames_[static_cast<std::size_t>(i)];
    info.compressedSize = (stat.valid & ZIP_STAT_COMP_SIZE) != 0 ? stat.comp_size : 0;
    info.uncompressedSize = (stat.valid & ZIP_STAT_SIZE) != 0 ? stat.size : 0;
    info.crc = (stat.valid & ZIP_STAT_CRC) != 0 ? stat.crc : 0;
    info.modified = (stat.valid & ZIP_STAT_MTIME) != 0 ? static_cast<std::int64_t>(stat.mtime) : 0;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive_, i, 0, &system, &attributes) == 0 &&
        (system == ZIP_OPSYS_UNIX || system == ZIP_OPSYS_OS_X)) {
      info.unixMode = attributes >> 16;
    }
    entries.push_back(std::move(info));
  }
  return entries;
}

namespace {

// An entry opened for reading; closing checks what the library found at
// the end of the data.
class EntryReader {
 public:
  EntryReader(zip* archive, const ZipEntryInfo& entry)
      : file_(zip_fopen_index(archive, entry.index, 0)), limit_(entry.uncompressedSize) {
    if (file_ == nullptr) fail(kEntryUnreadable);
  }
  ~EntryReader() {
    if (file_ != nullptr) zip_fclose(file_);
  }
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;

  // The next piece, 0 at the end (after the CRC-32 was checked).
  std::size_t read(char* buffer, std::size_t size) {
    const zip_int64_t got = zip_fread(file_, buffer, size);
    if (got < 0) fail(kEntryUnreadable);
    total_ += static_cast<std::uint64_t>(got);
    if (total_ > limit_) fail(kEntryUnreadable);
    return static_cast<std::size_t>(got);
  }

  // Closes the entry; fails when the library reports an error at the end.
  void finish() {
    const int result = zip_fclose(file_);
    file_ = nullptr;
    if (result != 0 || total_ != limit_) fail(kEntryUnreadable);
  }

 private:
  zip_file_t* file_;
  std::uint64_t limit_;
  std::uint64_t total_ = 0;
};

}  // namespace

std::string ZipArchive::readEntry(const ZipEntryInfo& entry) {
  if (mode_ != ZipMode::Reading) fail(kEntryUnreadable);
  EntryReader reader(archive_, entry);
  std::string data;
  char piece[16384];
  while (const std::size_t got = reader.read(piece, sizeof piece)) data.append(piece, got);
  reader.finish();
  return data;
}

void ZipArchive::extractEntry(const ZipEntryInfo& entry, const std::string& folder) {
  const std::string path = joinArchivePath({folder, entry.name});
  if (!hasSafeName(entry)) fail(kOpenForWritingFailed, path);
  if (mode_ != ZipMode::Reading) fail(kEntryUnreadable);
  if (!destination_ || destination_->path() != folder) destination_ = std::make_unique<DestinationFolder>(folder);
  if (isFolderEntry(entry)) {
    // A folder carries no data; one that claims some is not trusted.
    if (entry.uncompressedSize != 0 || !destination_->makeFolder(std::string(withoutFolderSlash(entry, entry.name)))) {
      fail(kOpenForWritingFailed, path);
    }
    return;
  }
  OutputFile output;
  if (!destination_->create(entry.name, isExecutableMode(entry.unixMode), output)) {
    fail(kOpenForWritingFailed, path);
  }
  EntryReader reader(archive_, entry);
  buffer_.resize(kPieceSize);
  while (const std::size_t got = reader.read(buffer_.data(), buffer_.size())) {
    if (!output.write(buffer_.data(), got)) fail(kWriteToFileFailed, path);
  }
  reader.finish();
  if (!output.finish()) fail(kWriteToFileFailed, path);
}

void ZipArchive::startWriting() {
  close();
  comment_.clear();
  zip_error_t error;
  zip_error_init(&error);
  image_ = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_error_fini(&error);
  if (image_ == nullptr) fail(kBadZip);
  // The image must outlive the archive that writes into it.
  zip_source_keep(image_);
  zip_error_init(&error);
  archive_ = zip_open_from_source(image_, ZIP_TRUNCATE, &error);
  zip_error_fini(&error);
  if (archive_ == nullptr) {
    zip_source_free(image_);  // the reference taken by the open
    close();
    fail(kBadZip);
  }
  mode_ = ZipMode::Writing;
}

void ZipArchive::addSource(const std::string& name, zip_source* source) {
  const zip_int64_t index = zip_file_add(archive_, name.c_str(), source, ZIP_FL_ENC_UTF_8);
  if (index < 0) {
    zip_source_free(source);
    fail(kWriteError);
  }
  if (zip_set_file_compression(archive_, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9) != 0) {
    fail(kWriteError);
  }
}

void ZipArchive::addEntry(const std::string& name, std::string bytes) {
  if (!isSafeEntryName(name) || !isUtf8(name)) fail(kWriteError);
  if (mode_ != ZipMode::Writing) startWriting();
  // The library frees the copy once the archive is built; an empty entry
  // needs no buffer at all.
  void* copy = nullptr;
  if (!bytes.empty()) {
    copy = std::malloc(bytes.size());
    if (copy == nullptr) fail(kWriteError);
    std::memcpy(copy, bytes.data(), bytes.size());
  }
  zip_source* source = zip_source_buffer(archive_, copy, bytes.size(), copy != nullptr ? 1 : 0);
  if (source == nullptr) {
    std::free(copy);
    fail(kWriteError);
  }
  addSource(name, source);
}

void ZipArchive::addFile(const std::string& name, const std::string& path) {
  if (!isSafeEntryName(name) || !isUtf8(name)) fail(kWriteError);
  if (mode_ != ZipMode::Writing) startWriting();
  zip_source* source = zip_source_file(archive_, path.c_str(), 0, -1);
  if (source == nullptr) fail(kWriteError);
  addSource(name, source);
}

namespace {

// Writes image to a new file next to path and renames it onto path.
void writeFileAtomically(const std::string& path, std::string_view image) {
  std::string temporary;
  platform::File file = platform::createTemporaryBeside(path, temporary);
  if (!file.ok()) fail(kWriteToFileFailed, path);
  bool ok = file.write(image.data(), image.size());
  ok = file.close() && ok;
  if (!ok || !platform::renameReplacing(temporary, path)) {
    (void)platform::removeFile(temporary);
    fail(kWriteToFileFailed, path);
  }
}

// Reads the whole content of a finished image source.
std::string readImage(zip_source* image) {
  std::string data;
  if (zip_source_open(image) != 0) fail(kWriteError);
  char piece[65536];
  zip_int64_t got = 0;
  while ((got = zip_source_read(image, piece, sizeof piece)) > 0) data.append(piece, static_cast<std::size_t>(got));
  zip_source_close(image);
  if (got < 0) fail(kWriteError);
  return data;
}

}  // namespace

void ZipArchive::save(const std::string& path) {
  if (mode_ == ZipMode::Reading) fail(kWriteError);
  fileName_ = path;
  std::string image = kEmptyArchiveImage;
  if (mode_ == ZipMode::Writing) {
    const bool hasEntries = zip_get_num_entries(archive_, 0) > 0;
    const int closed = zip_close(archive_);
    if (closed != 0) {
      close();
      fail(kWriteError);
    }
    archive_ = nullptr;
    // The library writes nothing at all for an archive without entries.
    if (hasEntries) {
      try {
        image = readImage(image_);
      } catch (...) {
        close();
        throw;
      }
    }
  }
  close();
  writeFileAtomically(path, image);
}

}  // namespace kv::archive
