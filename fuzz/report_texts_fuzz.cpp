// The worker's status texts with arbitrary paths and numbers: valid UTF-8,
// at most the report limit in characters, and a path never used as a format.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "updater/endpoints.h"
#include "updater/report_texts.h"

namespace up = kv::updater;

namespace {

// Characters of valid UTF-8 text, or -1 when it is not valid.
long utf8Characters(const std::string& text) {
  long count = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (c < 0x80) {
      length = 1;
      value = c;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      value = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      value = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      value = c & 0x07u;
    } else {
      return -1;
    }
    if (i + length > text.size()) return -1;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return -1;
      value = (value << 6) | (next & 0x3Fu);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return -1;
    i += length;
    ++count;
  }
  return count;
}

void check(const std::string& text, std::size_t limit, const char* what) {
  const long characters = utf8Characters(text);
  if (characters < 0) kv::fuzz::fail(what, "not UTF-8");
  if (static_cast<std::size_t>(characters) > limit) kv::fuzz::fail(what, "too long");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const int attempt = provider.ConsumeIntegral<int>();
  const int attempts = provider.ConsumeIntegral<int>();
  const int percent = provider.ConsumeIntegral<int>();
  const double speed = provider.ConsumeFloatingPoint<double>();
  const std::size_t limit = provider.ConsumeIntegralInRange<std::size_t>(0, 300);
  const std::string path = provider.ConsumeRemainingBytesAsString();

  check(up::retryText(path, attempt, attempts), up::kMaxReportChars, "retryText");
  check(up::attemptsFailedText(path, attempts), up::kMaxReportChars, "attemptsFailedText");
  check(up::removeFailedText(path), up::kMaxReportChars, "removeFailedText");
  check(up::extractFailedText(path), up::kMaxReportChars, "extractFailedText");
  check(up::downloadingText(path, percent, speed), up::kMaxReportChars, "downloadingText");
  check(up::displayText(path, limit), limit, "displayText");
  // Valid text that fits is kept as it is.
  const long characters = utf8Characters(path);
  if (characters >= 0 && static_cast<std::size_t>(characters) <= limit && up::displayText(path, limit) != path) {
    kv::fuzz::fail("displayText changed valid text that fits", path);
  }
  return 0;
}
