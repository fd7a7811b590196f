#pragma once

#include <set>
#include <string>
#include <vector>

namespace kv::tools {

// The folders (relative to the server folder; "" is the server folder
// itself) that exist on a first installation when the file at
// archivePath has just arrived: the launcher fetches files in byte-wise path
// order and creates only the folders of the files it writes. sortedPaths are
// all manifest paths in that order.
std::set<std::string> foldersAtArrival(const std::vector<std::string>& sortedPaths,
                                       const std::string& archivePath);

// Whether the launcher unpacks the file at this manifest path when it
// arrives (every ".zip" except "oldlibs.zip").
bool isUnpackedArchive(const std::string& manifestPath);

// Reasons the launcher could not unpack the ZIP file archiveFile published
// at manifest path archivePath: folder entries, entries in folders that do
// not exist (see foldersAtArrival), entry names it refuses, or a file that
// is no readable ZIP archive. Empty when it can be unpacked.
std::vector<std::string> checkArchive(const std::string& archiveFile, const std::string& archivePath,
                                      const std::set<std::string>& existingFolders);

}  // namespace kv::tools
