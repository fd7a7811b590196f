#include "updater/report_texts.h"

#include <cstdio>

#include "updater/endpoints.h"

namespace kv::updater {
namespace {

// The length of the valid UTF-8 sequence at the front of text, or 0.
std::size_t utf8SequenceLength(std::string_view text) {
  const auto b0 = static_cast<unsigned char>(text[0]);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  unsigned int codePoint = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    codePoint = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    codePoint = b0 & 0x0Fu;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    codePoint = b0 & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0u) != 0x80u) return 0;
    codePoint = (codePoint << 6) | (b & 0x3Fu);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
  if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) ||
      (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) {
    return 0;
  }
  return length;
}

std::string cut(const std::string& text) { return displayText(text, kMaxReportChars); }

}  // namespace

std::string displayText(std::string_view text, std::size_t maxChars) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  std::size_t chars = 0;
  while (!text.empty() && chars < maxChars) {
    const std::size_t length = utf8SequenceLength(text);
    if (length == 0) {
      out += kReplacement;
      text.remove_prefix(1);
    } else {
      out += text.substr(0, length);
      text.remove_prefix(length);
    }
    ++chars;
  }
  return out;
}

std::string retryText(std::string_view manifestPath, int attempt, int attempts) {
  return cut(std::string(kTextConnectionFailedPrefix) + std::string(manifestPath) +
             std::string(kTextRetryingInfix) + std::to_string(attempt) + "/" + std::to_string(attempts) + ")");
}

std::string attemptsFailedText(std::string_view manifestPath, int attempts) {
  return cut(std::string(kTextConnectionFailedPrefix) + std::string(manifestPath) + std::string(kTextAfterInfix) +
             std::to_string(attempts) + std::string(kTextAttemptsSuffix));
}

std::string removeFailedText(std::string_view fileName) {
  return cut(std::string(kTextRemoveFailedPrefix) + std::string(fileName));
}

std::string anotherUpdateText(std::string_view serverFolder) {
  return cut("Another update of " + std::string(serverFolder) + " is running");
}

std::string extractFailedText(std::string_view fileName) {
  return cut(std::string(kTextExtractFailedPrefix) + std::string(fileName) +
             std::string(kTextExtractFailedSuffix));
}

std::string downloadingText(std::string_view fileName, int percent, double kilobytesPerSecond) {
  char speed[64];
  const int written = std::snprintf(speed, sizeof speed, "%.0f", kilobytesPerSecond);
  const std::string speedText = written > 0 && static_cast<std::size_t>(written) < sizeof speed ? speed : "0";
  return cut(std::string(kTextDownloadingPrefix) + std::string(fileName) + " (" + std::to_string(percent) + "%, " +
             speedText + std::string(kTextSpeedSuffix));
}

std::string waitingForDataText(int percent) {
  return cut(std::string(kTextWaitingPrefix) + std::to_string(percent) + "%)");
}

std::string downloadFailedText(std::string_view fileName, int percent) {
  return cut(std::string(kTextDownloadFailedPrefix) + std::string(fileName) + " (" + std::to_string(percent) + "%)");
}

}  // namespace kv::updater
