#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kv::tools {

// Why the Windows program could not create a file at this manifest path, or
// "" when it can: a segment holding one of < > " | ? * (the launcher's own
// path rule already refuses ':', '\', control characters, device names and
// trailing dots or spaces).
std::string windowsNameProblem(std::string_view path);

// What a release (its manifest paths, in any order) lacks that players
// need: none of its files at all, or some of the four client build
// archives, the fallback library archive, or the interface art the window
// loads. One warning per kind, naming what is missing.
std::vector<std::string> releaseWarnings(const std::vector<std::string>& paths);

}  // namespace kv::tools
