#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv::updater {

// The formatted report texts of the update run. Every piece taken from a
// path is used as text, never as a format; bytes that are not UTF-8 become
// U+FFFD; the result is cut to at most 255 characters.

// "Connection failed (PATH), retrying... (ATTEMPT/ATTEMPTS)"
std::string retryText(std::string_view manifestPath, int attempt, int attempts);
// "Connection failed (PATH) after ATTEMPTS attempts"
std::string attemptsFailedText(std::string_view manifestPath, int attempts);
// "Failed to remove existing file: NAME"
std::string removeFailedText(std::string_view fileName);
// "Failed to extract: NAME. Make sure the file is not in use."
std::string extractFailedText(std::string_view fileName);
// "Another update of FOLDER is running"
std::string anotherUpdateText(std::string_view serverFolder);
// "Downloading: NAME (PERCENT%, SPEED KB/s)", speed rounded to a whole number.
std::string downloadingText(std::string_view fileName, int percent, double kilobytesPerSecond);
// "Downloading: waiting for the site (PERCENT%)"
std::string waitingForDataText(int percent);
// "Downloading: failed: NAME (PERCENT%)"
std::string downloadFailedText(std::string_view fileName, int percent);

// text with bytes that are not UTF-8 replaced by U+FFFD, cut to at most
// maxChars characters (never inside a character).
std::string displayText(std::string_view text, std::size_t maxChars);

}  // namespace kv::updater
