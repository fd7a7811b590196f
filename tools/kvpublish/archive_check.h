#pragma once

#include <string>
#include <vector>

#include "updater/manifest.h"

namespace kv::tools {

// Reasons the launcher could not unpack the ZIP file archiveFile published
// at manifest path archivePath: entry names (also of folder entries) it
// refuses, or a file that is no readable ZIP archive. Empty when it can be
// unpacked; the launcher makes the folders an archive needs. The archives
// it unpacks are those updater::isUnpackedArchive names.
std::vector<std::string> checkArchive(const std::string& archiveFile, const std::string& archivePath);

// Entries of the archive at manifest path archivePath that would land on a
// path the manifest lists, below a listed file, or (as a file) where a listed
// path needs a folder: the launcher leaves those entries to the listed files,
// so a release that has them is refused. One text per entry, naming both.
std::vector<std::string> archiveOverlaps(const std::string& archiveFile, const std::string& archivePath,
                                         const updater::ManifestMap& listed);

}  // namespace kv::tools
