#pragma once

#include <string>
#include <vector>

namespace kv::tools {

// Reasons the launcher could not unpack the ZIP file archiveFile published
// at manifest path archivePath: entry names (also of folder entries) it
// refuses, or a file that is no readable ZIP archive. Empty when it can be
// unpacked; the launcher makes the folders an archive needs. The archives
// it unpacks are those updater::isUnpackedArchive names.
std::vector<std::string> checkArchive(const std::string& archiveFile, const std::string& archivePath);

}  // namespace kv::tools
