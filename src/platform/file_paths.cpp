#include <system_error>

#include "platform/file_system.h"
#include "platform/native_path.h"

namespace kv::platform {
namespace fs = std::filesystem;

std::string absolutePath(const std::string& path) {
  if (path.empty()) return {};
  std::error_code error;
  fs::path normal = fs::absolute(nativePath(path), error).lexically_normal();
  if (error) return {};
  // "eu/" names the same folder as "eu".
  if (normal.filename().empty() && normal.has_relative_path()) normal = normal.parent_path();
  return utf8Path(normal);
}

std::string displayPath(const std::string& path) {
  fs::path shown = nativePath(path);
  return utf8Path(shown.make_preferred());
}

std::string finalName(const std::string& path) {
  fs::path normal = nativePath(path).lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();  // a trailing separator
  return utf8Path(normal.filename());
}

bool leadsToFolderOrAbove(const std::string& path, const std::string& folder) {
  std::error_code error;
  const fs::path target = fs::canonical(nativePath(path), error);
  if (error) return false;
  if (target == target.root_path()) return true;
  if (folder.empty()) return false;
  fs::path above = fs::weakly_canonical(nativePath(folder), error);
  if (error) return false;
  while (true) {
    if (fs::equivalent(target, above, error)) return true;
    if (above == above.parent_path() || !above.has_relative_path()) return false;
    above = above.parent_path();
  }
}

}  // namespace kv::platform
