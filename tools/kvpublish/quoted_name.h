#pragma once

#include <string>
#include <string_view>

namespace kv::tools {

// A file or entry name in double quotes, safe to print in a message: '"'
// and '\' are preceded by '\', control characters (also the UTF-8 forms of
// U+0080 to U+009F) and bytes that are not part of valid UTF-8 are written
// as \xNN.
std::string quotedName(std::string_view name);

}  // namespace kv::tools
