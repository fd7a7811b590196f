#include "base/path_text.h"

namespace kv {

std::string joinPath(std::string_view base, std::string_view relative) {
  if (base.empty() || base == ".") return std::string(relative);
  std::string out(base);
  if (out.back() != '/') out.push_back('/');
  out += relative;
  return out;
}

std::string folderOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string fileNamePart(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace kv
