#pragma once

#include <string>
#include <string_view>

namespace kv {

// Paths as text, "/" between names, on every platform. Nothing here touches
// the disk.

// base + "/" + relative; a base of "" or "." gives relative alone, and a base
// that ends in "/" gets no second one.
[[nodiscard]] std::string joinPath(std::string_view base, std::string_view relative);

// The folder part of path: what stands before its last "/", "/" for a name
// right below the root, "." when path has no "/".
[[nodiscard]] std::string folderOf(std::string_view path);

// The part of path after its last "/" (all of it when there is none).
[[nodiscard]] std::string fileNamePart(std::string_view path);

}  // namespace kv
