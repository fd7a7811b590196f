#pragma once

#include <string>
#include <string_view>

namespace kv::updater {

// Whether a replaced file is flushed to the disk before it takes the old
// one's place.
enum class FileSync {
  Flush,    // survives a power loss as the old or the new file
  NoFlush,  // survives the process being killed; cheaper for frequent writes
};

// Whether name (a file name without folder) has the form of a temporary
// file that a replacement of the file named leaf makes beside it: leaf, a
// dot, and 6 to 32 ASCII letters, digits or underscores. Every replacement of
// leaf removes the files of that form it finds beside it.
[[nodiscard]] bool isTemporaryNameOf(std::string_view name, std::string_view leaf);

// Whether a path segment has the form of a download temporary: it holds
// kDownloadTemporarySuffix (any ASCII case) at its end or followed by a dot.
[[nodiscard]] bool isDownloadTemporaryName(std::string_view segment);

// Where the file at path is downloaded before it takes its final place: a
// name of the download temporary form in the same folder. A name that would
// grow too long for the file system is shortened to its first bytes and a
// hash of the whole name; a name that is already too long stays too long.
[[nodiscard]] std::string downloadTemporaryPath(const std::string& path);

// Replaces the file at path with content: writes a temporary file in the
// same folder, flushes it to disk (unless told not to), renames it over path
// and flushes the folder. A reader finds the old or the new complete file,
// never a torn one. Temporary files that earlier replacements of path left
// beside it when they were cut off (by a kill or a power loss) are removed
// first. False when any step failed; the temporary file is then removed and
// the old file stays. reason (when given) receives the system's
// text. Any thread.
[[nodiscard]] bool replaceFileAtomically(const std::string& path, std::string_view content,
                                         std::string* reason = nullptr, FileSync sync = FileSync::Flush);

}  // namespace kv::updater
