#pragma once

#include <string>

namespace kv::platform {
class Window;
}

namespace kv::archive {

// Unpacks every entry of the ZIP file at archivePath into the existing folder
// destination, in central-directory order. Creates no folders: an entry in a
// folder that does not exist fails. The first failure ends the work (files
// already written stay), asks window (may be null) to repaint, and answers
// false. Any thread.
[[nodiscard]] bool extractZipArchive(const std::string& archivePath, const std::string& destination,
                                     platform::Window* window);

// Packs every regular file under sourceFolder into a new ZIP file at
// archivePath (names relative to the folder, joined with '/', deflated at
// level 9). On failure writes "Error while zipping: " and the reason to
// standard error, writes no archive, and answers false. Any thread.
[[nodiscard]] bool createZipArchive(const std::string& sourceFolder, const std::string& archivePath);

}  // namespace kv::archive
