#include "archive/zip_archive.h"

#include <cstdint>
#include <iostream>
#include <optional>
#include <vector>

#include "archive/archive_path.h"
#include "archive/archive_texts.h"
#include "archive/zip_archive_object.h"
#include "platform/file_system.h"
#include "platform/window.h"

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

std::uint64_t addCapped(std::uint64_t total, std::uint64_t more) {
  return more > UINT64_MAX - total ? UINT64_MAX : total + more;
}

// The bytes the entries add to the disk of destination: their declared
// sizes, counting the files they replace as free.
std::uint64_t bytesAdded(const std::vector<ZipEntryInfo>& entries, const std::string& destination) {
  std::uint64_t needed = 0;
  for (const ZipEntryInfo& entry : entries) {
    std::uint64_t replaced = 0;
    const std::string target = joinArchivePath({destination, entry.name});
    if (platform::pathKind(target) == platform::PathKind::File) {
      replaced = platform::regularFileSizeAt(target).value_or(0);
    }
    needed = addCapped(needed, entry.uncompressedSize > replaced ? entry.uncompressedSize - replaced : 0);
  }
  return needed;
}

// Refuses an archive whose declared content does not fit on the disk of the
// destination, counting files it replaces as free.
void checkFreeSpace(const std::vector<ZipEntryInfo>& entries, const std::string& destination) {
  const std::optional<std::uint64_t> available = platform::freeSpaceAt(destination);
  if (!available) return;  // unknown: the writes themselves will tell
  std::uint64_t declared = 0;
  for (const ZipEntryInfo& entry : entries) declared = addCapped(declared, entry.uncompressedSize);
  if (declared <= *available) return;
  if (bytesAdded(entries, destination) > *available) throw ZipError(std::string(kNotEnoughSpace) + destination);
}

// The entries of all that unpack accepts (all of them when it is empty).
std::vector<ZipEntryInfo> chosenEntries(const std::vector<ZipEntryInfo>& entries,
                                        const ArchiveToExtract::EntryFilter& unpack) {
  std::vector<ZipEntryInfo> chosen;
  chosen.reserve(entries.size());
  for (const ZipEntryInfo& entry : entries) {
    if (!unpack || unpack(entry)) chosen.push_back(entry);
  }
  return chosen;
}

// The failure to open or read the folder at path, with the system's reason.
ZipError folderError(const std::string& path) {
  return ZipError("filesystem error: cannot read folder: " + platform::lastErrorText() + " [" + path + "]");
}

// Adds the regular files below folder to archive, named prefix + their path
// below folder; links are neither followed nor stored.
void addFolder(ZipArchive& archive, const platform::Folder& folder, const std::string& prefix) {
  std::vector<std::string> names;
  if (!platform::listNames(folder, names)) throw folderError(folder.path());
  for (const std::string& name : names) {
    const platform::PathKind kind = platform::pathKindIn(folder, name);
    if (kind == platform::PathKind::File) {
      archive.addFile(prefix + name, folder.path() + "/" + name);
    } else if (kind == platform::PathKind::Folder) {
      const platform::Folder inner = platform::openFolderIn(folder, name);
      if (!inner.ok()) throw folderError(folder.path() + "/" + name);
      addFolder(archive, inner, prefix + name + "/");
    }
  }
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

bool ArchiveToExtract::extractTo(const std::string& destination, platform::Window* window,
                                 const EntryFilter& unpack) {
  try {
    if (!readable_) throw ZipError(failure_);
    checkEntryNames(entries_, destination);
    const std::vector<ZipEntryInfo> chosen = chosenEntries(entries_, unpack);
    checkFreeSpace(chosen, destination);
    for (const ZipEntryInfo& entry : chosen) archive_->extractEntry(entry, destination);
    return true;
  } catch (...) {
    // The caller reports the failure in its own words.
    if (window != nullptr) window->invalidate();
    return false;
  }
}

std::uint64_t ArchiveToExtract::bytesToAdd(const std::string& destination, const EntryFilter& unpack) const {
  try {
    return bytesAdded(chosenEntries(entries_, unpack), destination);
  } catch (...) {
    return 0;  // a name that cannot be joined is refused by extractTo itself
  }
}

bool extractZipArchive(const std::string& archivePath, const std::string& destination,
                       platform::Window* window) {
  return ArchiveToExtract(archivePath).extractTo(destination, window);
}

bool createZipArchive(const std::string& sourceFolder, const std::string& archivePath) {
  try {
    ZipArchive archive;
    const platform::Folder root = platform::openFolder(sourceFolder);
    if (!root.ok()) throw folderError(sourceFolder);
    addFolder(archive, root, "");
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
