#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv::updater {

// The highest signed release the launcher accepted for a server, and when
// that release expires (seconds since 1970, UTC).
struct ReleaseState {
  std::uint64_t release = 0;
  std::int64_t expires = 0;
};

// Reads serverDir + "/release.state". Nothing when the file is missing or
// is not one this launcher wrote (a damaged record counts as none: the next
// signed manifest sets it again). Any thread.
[[nodiscard]] std::optional<ReleaseState> readReleaseState(const std::string& serverDir);

// Replaces serverDir + "/release.state" with state, written beside the old
// file and renamed over it. False when it could not be written (the old
// record stays). Any thread.
[[nodiscard]] bool writeReleaseState(const std::string& serverDir, const ReleaseState& state);

// The record's text, and its reading: "release N\nexpires T\n".
std::string releaseStateText(const ReleaseState& state);
std::optional<ReleaseState> parseReleaseState(std::string_view text);

}  // namespace kv::updater
