#include "archive/zip_archive.h"

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "archive/archive_path.h"
#include "archive/archive_texts.h"
#include "archive/zip_archive_object.h"
#include "platform/window.h"

namespace fs = std::filesystem;

namespace kv::archive {

namespace {

// Refuses the whole archive before anything is written when one of its
// names could reach outside the destination or is not a plain file name.
void checkEntryNames(const std::vector<ZipEntryInfo>& entries, const std::string& destination) {
  for (const ZipEntryInfo& entry : entries) {
    if (!hasSafeName(entry)) {
      throw ZipError(std::string(kOpenForWritingFailed) + joinArchivePath({destination, entry.name}));
    }
  }
}

// Refuses an archive whose declared content does not fit on the disk of the
// destination, counting files it replaces as free.
void checkFreeSpace(const std::vector<ZipEntryInfo>& entries, const std::string& destination) {
  std::error_code error;
  const fs::space_info space = fs::space(destination, error);
  if (error) return;  // unknown: the writes themselves will tell
  const auto addCapped = [](std::uintmax_t total, std::uintmax_t more) {
    return more > UINTMAX_MAX - total ? UINTMAX_MAX : total + more;
  };
  std::uintmax_t declared = 0;
  for (const ZipEntryInfo& entry : entries) declared = addCapped(declared, entry.uncompressedSize);
  if (declared <= space.available) return;
  std::uintmax_t needed = 0;
  for (const ZipEntryInfo& entry : entries) {
    std::uintmax_t replaced = 0;
    const fs::path target = fs::path(destination) / entry.name;
    if (fs::is_regular_file(fs::symlink_status(target, error))) {
      replaced = fs::file_size(target, error);
      if (error) replaced = 0;
    }
    const std::uintmax_t added = entry.uncompressedSize > replaced ? entry.uncompressedSize - replaced : 0;
    needed = addCapped(needed, added);
  }
  if (needed > space.available) throw ZipError(std::string(kNotEnoughSpace) + destination);
}

}  // namespace

ArchiveToExtract::ArchiveToExtract(const std::string& archivePath) : archive_(std::make_unique<ZipArchive>()) {
  try {
    archive_->load(archivePath);
    entries_ = archive_->listEntries();
    readable_ = true;
  } catch (const std::exception& error) {
    failure_ = error.what();
    entries_.clear();
  } catch (...) {
    failure_ = kBadZip;
    entries_.clear();
  }
}

ArchiveToExtract::~ArchiveToExtract() = default;

bool ArchiveToExtract::extractTo(const std::string& destination, platform::Window* window) {
  try {
    if (!readable_) throw ZipError(failure_);
    checkEntryNames(entries_, destination);
    checkFreeSpace(entries_, destination);
    for (const ZipEntryInfo& entry : entries_) archive_->extractEntry(entry, destination);
    return true;
  } catch (...) {
    // The caller reports the failure in its own words.
    if (window != nullptr) window->invalidate();
    return false;
  }
}

bool extractZipArchive(const std::string& archivePath, const std::string& destination,
                       platform::Window* window) {
  return ArchiveToExtract(archivePath).extractTo(destination, window);
}

bool createZipArchive(const std::string& sourceFolder, const std::string& archivePath) {
  try {
    ZipArchive archive;
    const fs::path root = fs::weakly_canonical(fs::path(sourceFolder));
    for (fs::recursive_directory_iterator walk(root), end; walk != end; ++walk) {
      // Links are neither followed nor stored; only regular files count.
      if (!walk->is_regular_file() || walk->is_symlink()) continue;
      const std::string name = walk->path().lexically_relative(root).generic_string();
      archive.addFile(name, walk->path().string());
    }
    archive.save(archivePath);
    return true;
  } catch (const std::exception& error) {
    std::cerr << kZippingErrorPrefix << error.what() << std::endl;
    return false;
  } catch (...) {
    std::cerr << kZippingErrorPrefix << "unknown error" << std::endl;
    return false;
  }
}

}  // namespace kv::archive
