#include "updater/manifest_path.h"

#include <array>
#include <string>

#include "updater/atomic_file.h"
#include "updater/endpoints.h"

namespace kv::updater {
namespace {

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Device names that no file may carry on the platforms the client runs on,
// whatever the extension.
bool isReservedDeviceName(std::string_view segment) {
  static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
  const std::string stem = lowerAscii(segment.substr(0, segment.find('.')));
  for (const std::string_view name : kPlain) {
    if (stem == name) return true;
  }
  if (stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) && stem[3] >= '1' &&
      stem[3] <= '9') {
    return true;
  }
  return false;
}

bool isValidSegment(std::string_view segment) {
  if (segment.empty() || segment == "." || segment == "..") return false;
  for (const char c : segment) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\' || c == ':') return false;
  }
  const char last = segment.back();
  if (last == '.' || last == ' ') return false;
  return !isReservedDeviceName(segment) && !isDownloadTemporaryName(segment);
}

// Whether the path names the launcher's own state in the server folder,
// including the temporary files that replacing the local manifest or the
// Last-Modified record removes as leftovers.
bool isLauncherOwned(std::string_view path) {
  const std::string lower = lowerAscii(path);
  if (lower == kLocalManifestName || lower == kManifestMetaName) return true;
  if (isTemporaryNameOf(path, kLocalManifestName) || isTemporaryNameOf(path, kManifestMetaName)) return true;
  const std::string first = lower.substr(0, lower.find('/'));
  return first == kConfigFolderName || first == kConfigBackupFolderName;
}

}  // namespace

bool validateManifestPath(std::string_view path) {
  if (path.empty() || path.front() == '/') return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string_view segment =
        path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!isValidSegment(segment)) return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return !isLauncherOwned(path);
}

}  // namespace kv::updater
