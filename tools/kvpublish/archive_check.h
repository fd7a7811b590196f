#pragma once

#include <string>
#include <vector>

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

}  // namespace kv::tools
