#include "release_check.h"

#include <set>

#include "base/launcher_files.h"
#include "quoted_name.h"

namespace kv::tools {
namespace {

// The window's art and sounds, as paths below the server folder.
const std::vector<std::string>& interfaceArt() {
  static const std::vector<std::string> paths = [] {
    std::vector<std::string> out;
    for (const char* path :
         {kBackgroundPath, kFontPath, kCloseImagePath, kMinimizeImagePath, kOptionsImagePath,
          kOptionsOnImagePath, kSoundImagePath, kSoundOffImagePath, kBigButtonImagePath,
          kButtonImagePath, kSignUpIconPath, kWebsiteIconPath, kMusicPath, kClickPath}) {
      out.emplace_back(path + 1);  // without the leading "/"
    }
    return out;
  }();
  return paths;
}

std::string quotedList(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : ", ") + quotedName(name);
  return out;
}

}  // namespace

std::string windowsNameProblem(std::string_view path) {
  static constexpr std::string_view kReserved = "<>\"|?*";
  for (const char c : path) {
    if (kReserved.find(c) != std::string_view::npos) {
      return "holds '" + std::string(1, c) + "', which the Windows program cannot put in a file name";
    }
  }
  return {};
}

std::vector<std::string> releaseWarnings(const std::vector<std::string>& paths) {
  if (paths.empty()) return {"the release has no files at all"};
  const std::set<std::string> present(paths.begin(), paths.end());
  const auto missing = [&present](const std::vector<std::string>& wanted) {
    std::vector<std::string> out;
    for (const auto& path : wanted) {
      if (present.count(path) == 0) out.push_back(path);
    }
    return out;
  };
  std::vector<std::string> warnings;
  std::vector<std::string> archives;
  for (const char* build : kClientBuildNames) archives.push_back(std::string(build) + kArchiveExtension);
  if (const auto absent = missing(archives); !absent.empty()) {
    warnings.push_back("no client build archive " + quotedList(absent) + ": players of that build cannot play");
  }
  if (present.count(kOldLibsArchive) == 0) {
    warnings.push_back("no " + quotedName(kOldLibsArchive) +
                       ": players whose graphics libraries fail have no fallback");
  }
  if (const auto absent = missing(interfaceArt()); !absent.empty()) {
    warnings.push_back("interface art missing: " + quotedList(absent));
  }
  return warnings;
}

}  // namespace kv::tools
