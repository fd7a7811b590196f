#include "updater/manifest_meta.h"

#include <fstream>
#include <string_view>

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
  std::ifstream in(joinPath(serverDir, kManifestMetaName), std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    const std::string_view trimmed = trim(line);
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
