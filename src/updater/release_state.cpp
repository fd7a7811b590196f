#include "updater/release_state.h"

#include <charconv>
#include <string_view>

#include "platform/file_system.h"
#include "updater/atomic_file.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

// The record is two short lines; anything longer was not written here.
constexpr std::uint64_t kMaxReleaseStateBytes = 256;

// Reads "KEY VALUE\n" at the start of text into value, moving text past it.
template <typename Number>
bool takeField(std::string_view& text, std::string_view key, Number& value) {
  if (!text.starts_with(key) || text.size() <= key.size() || text[key.size()] != ' ') return false;
  text.remove_prefix(key.size() + 1);
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos || end == 0) return false;
  const std::string_view digits = text.substr(0, end);
  if (digits.front() == '-' || digits.front() == '+') return false;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return false;
  text.remove_prefix(end + 1);
  return true;
}

}  // namespace

std::string releaseStateText(const ReleaseState& state) {
  return "release " + std::to_string(state.release) + "\nexpires " + std::to_string(state.expires) + "\n";
}

std::optional<ReleaseState> parseReleaseState(std::string_view text) {
  ReleaseState state;
  if (!takeField(text, "release", state.release) || !takeField(text, "expires", state.expires) || !text.empty()) {
    return std::nullopt;
  }
  return state;
}

std::optional<ReleaseState> readReleaseState(const std::string& serverDir) {
  const std::optional<std::string> text =
      platform::readRegularFile(joinPath(serverDir, kReleaseStateName), kMaxReleaseStateBytes);
  if (!text) return std::nullopt;
  return parseReleaseState(*text);
}

bool writeReleaseState(const std::string& serverDir, const ReleaseState& state) {
  return replaceFileAtomically(joinPath(serverDir, kReleaseStateName), releaseStateText(state));
}

}  // namespace kv::updater
