#pragma once

#include <string>
#include <string_view>

namespace kv::updater {

// Appends "[YYYY-MM-DD HH:MM:SS] " + message + "\n" (local time) to the log
// file at logPath, creating it when needed. The line goes out in one append,
// so lines of several workers or processes never cut into each other. A log
// that cannot be opened is ignored. Any thread.
void writeDownloadLog(const std::string& logPath, std::string_view message);

// The line writeDownloadLog appends, for the given time stamp text.
std::string downloadLogLine(std::string_view timeStamp, std::string_view message);

}  // namespace kv::updater
