#pragma once

#include <string>
#include <string_view>

namespace kv::updater {

// Replaces the file at path with content: writes a temporary file in the
// same folder, flushes it to disk, renames it over path and flushes the
// folder. A reader finds the old or the new complete file, never a torn one.
// False when any step failed; the temporary file is then removed and the old
// file stays. reason (when given) receives the system's text. Any thread.
[[nodiscard]] bool replaceFileAtomically(const std::string& path, std::string_view content,
                                         std::string* reason = nullptr);

}  // namespace kv::updater
