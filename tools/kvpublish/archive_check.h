#pragma once

#include <string>
#include <vector>

#include "updater/manifest.h"

namespace kv::tools {

// What kvpublish finds in one ZIP file the launcher unpacks.
struct ArchiveFindings {
  // Entries (also folder entries) whose names break the rules a listed file
  // must keep, each with its reason: those the launcher refuses to unpack and
  // those the Windows program could not create.
  std::vector<std::string> refusedNames;
  // Why it is no readable ZIP archive; empty when it is one.
  std::string unreadable;
};

// Checks the ZIP file archiveFile published at manifest path archivePath.
// The launcher makes the folders an archive needs. The archives it unpacks
// are those updater::isUnpackedArchive names.
ArchiveFindings checkArchive(const std::string& archiveFile, const std::string& archivePath);

// Entries of the archive at manifest path archivePath that would land on a
// path the manifest lists, below a listed file, or (as a file) where a listed
// path needs a folder: the launcher leaves those entries to the listed files,
// so a release that has them is refused. One text per entry, naming both.
std::vector<std::string> archiveOverlaps(const std::string& archiveFile, const std::string& archivePath,
                                         const updater::ManifestMap& listed);

}  // namespace kv::tools
