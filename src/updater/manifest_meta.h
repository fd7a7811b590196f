#pragma once

#include <string>

namespace kv::updater {

// Reads the Last-Modified record serverDir + "/manifest.meta": the first line
// that, trimmed of white space, is longer than 13 characters and begins with
// "Last-Modified:" gives the value (the rest, leading blanks removed), stored
// in target. No such line leaves target as it was. False only when the file
// cannot be opened (target unchanged). Any thread.
[[nodiscard]] bool readManifestMeta(const std::string& serverDir, std::string& target);

// Replaces serverDir + "/manifest.meta" with "Last-Modified: " + value +
// "\n", written beside the old file and renamed over it. False when it could
// not be written (the old record stays). Any thread.
[[nodiscard]] bool writeManifestMeta(const std::string& serverDir, const std::string& value);

}  // namespace kv::updater
