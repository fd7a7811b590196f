#include "updater/manifest_meta.h"

#include <limits>
#include <optional>
#include <string_view>

#include "platform/file_system.h"
#include "updater/atomic_file.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimLeft(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view trim(std::string_view text) {
  text = trimLeft(text);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

bool readManifestMeta(const std::string& serverDir, std::string& target) {
  const std::optional<std::string> text =
      platform::readRegularFile(joinPath(serverDir, kManifestMetaName), std::numeric_limits<std::uint64_t>::max());
  if (!text) return false;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view trimmed = trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (trimmed.size() > kMetaKey.size() - 1 && trimmed.starts_with(kMetaKey)) {
      target = std::string(trimLeft(trimmed.substr(kMetaKey.size())));
      break;
    }
  }
  return true;
}

bool writeManifestMeta(const std::string& serverDir, const std::string& value) {
  return replaceFileAtomically(joinPath(serverDir, kManifestMetaName), "Last-Modified: " + value + "\n");
}

}  // namespace kv::updater
