#include "signing/release_claim.h"

#include <array>
#include <cstdio>
#include <vector>

#include "signing/signing_text.h"

namespace kv::signing {
namespace {

constexpr std::string_view kMagic = "kvrelease";
constexpr std::uint64_t kReleaseLimit = 1'000'000'000'000'000;  // 10^15
constexpr std::size_t kMaxServerName = 64;

void setReason(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
}

bool isServerName(std::string_view name) {
  if (name.empty() || name.size() > kMaxServerName) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's method).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

unsigned daysInMonth(std::int64_t y, unsigned m) {
  static constexpr std::array<unsigned, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : days[m - 1];
}

bool digits(std::string_view text, std::size_t pos, std::size_t count, unsigned& value) {
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

}  // namespace

std::string utcTimeText(std::int64_t unixSeconds) {
  std::int64_t days = unixSeconds / 86400;
  std::int64_t rest = unixSeconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // civil_from_days
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y), m, d,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

std::optional<std::int64_t> parseUtcTime(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z') {
    return std::nullopt;
  }
  unsigned year, month, day, hour, minute, second;
  if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
      !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) || !digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

std::optional<ReleaseClaim> parseReleaseClaim(std::string_view trustedComment, std::string* reason) {
  static constexpr std::array<std::string_view, 3> kFields{"server", "release", "expires"};
  std::vector<std::string_view> tokens;
  std::size_t start = 0;
  while (tokens.size() <= kFields.size() + 1) {
    std::size_t end = trustedComment.find(' ', start);
    tokens.push_back(
        trustedComment.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (tokens.empty() || tokens[0] != kMagic) {
    setReason(reason, "the trusted comment is not a release claim");
    return std::nullopt;
  }
  if (tokens.size() != kFields.size() + 1) {
    setReason(reason, "the release claim does not have exactly the fields server, release and expires");
    return std::nullopt;
  }
  ReleaseClaim claim;
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    std::string_view token = tokens[i + 1];
    std::size_t eq = token.find('=');
    std::string_view name = token.substr(0, eq);
    if (eq == std::string_view::npos || name != kFields[i]) {
      setReason(reason,
                "the release claim's field " + std::to_string(i + 1) + " is not \"" + std::string(kFields[i]) + "=\"");
      return std::nullopt;
    }
    std::string_view value = token.substr(eq + 1);
    bool ok = true;
    if (i == 0) {
      ok = isServerName(value);
      if (ok) claim.server = std::string(value);
    } else if (i == 1) {
      ok = parseDecimal(value, kReleaseLimit, claim.release);
    } else {
      auto when = parseUtcTime(value);
      ok = when.has_value();
      if (ok) claim.expires = *when;
    }
    if (!ok) {
      setReason(reason, "the release claim's " + std::string(kFields[i]) + " is malformed");
      return std::nullopt;
    }
  }
  return claim;
}

std::string releaseClaimText(const ReleaseClaim& claim) {
  return std::string(kMagic) + " server=" + claim.server + " release=" + std::to_string(claim.release) +
         " expires=" + utcTimeText(claim.expires);
}

}  // namespace kv::signing
