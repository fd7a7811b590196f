#pragma once

#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace kv::updater {

// Whole-file replacement lives with the platform's file operations.
using platform::FileSync;
using platform::isTemporaryNameOf;
using platform::replaceFileAtomically;

// Whether a path segment has the form of a download temporary: it holds
// kDownloadTemporarySuffix (any ASCII case) at its end or followed by a dot.
[[nodiscard]] bool isDownloadTemporaryName(std::string_view segment);

// Where the file at path is downloaded before it takes its final place: a
// name of the download temporary form in the same folder. A name that would
// grow too long for the file system is shortened to its first bytes and a
// hash of the whole name; a name that is already too long stays too long.
[[nodiscard]] std::string downloadTemporaryPath(const std::string& path);

}  // namespace kv::updater
