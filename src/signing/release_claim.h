#pragma once
// What a release signature's trusted comment claims about the manifest it
// signs: the server folder it is for, its release number and when the
// signature stops being accepted. One exact text form, written and read only
// here:
//   "kvrelease server=eu release=12 expires=2027-01-07T19:00:00Z"
// Fields in this order, single spaces, nothing else; the server a folder
// name of letters, digits, '-' and '_' (at most 64); the release a decimal
// number without leading zeros, below 10^15; the expiry a UTC time to the
// second, years 1970 to 9999.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv::signing {

struct ReleaseClaim {
  std::string server;
  std::uint64_t release = 0;
  std::int64_t expires = 0;  // unix seconds, UTC
  bool operator==(const ReleaseClaim&) const = default;
};

std::optional<ReleaseClaim> parseReleaseClaim(std::string_view trustedComment, std::string* reason = nullptr);
std::string releaseClaimText(const ReleaseClaim& claim);

// "2027-01-07T19:00:00Z" and back; std::nullopt for anything else.
std::string utcTimeText(std::int64_t unixSeconds);
std::optional<std::int64_t> parseUtcTime(std::string_view text);

}  // namespace kv::signing
