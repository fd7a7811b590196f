#pragma once

#include <string>
#include <string_view>

#include "updater/http_transport.h"

namespace kv::updater {

// Appends "[YYYY-MM-DD HH:MM:SS] " + message + "\n" (local time) to the log
// file at logPath, creating it when needed. The line goes out in one append,
// so lines of several workers or processes never cut into each other. A log
// that cannot be opened is ignored. Any thread.
void writeDownloadLog(const std::string& logPath, std::string_view message);

// The line writeDownloadLog appends, for the given time stamp text.
std::string downloadLogLine(std::string_view timeStamp, std::string_view message);

// The log message for a small request that fell short (see
// HttpTransport::lastSmallRequest): "curl_easy_perform error: " + reason
// when no response arrived, "HTTP status code: " + status when the response
// had another status than 200; "" when it was answered with 200 or the
// transport cannot tell.
std::string smallRequestProblem(const TransferResult& result);

}  // namespace kv::updater
