#pragma once

#include <string>
#include <string_view>

namespace kv::tools {

// text made safe to print on a terminal: control characters (bytes below
// 0x20, 0x7F, and the UTF-8 forms of U+0080 to U+009F, which some
// terminals obey as commands) become '?'. Everything else stays as it is.
std::string printableText(std::string_view text);

}  // namespace kv::tools
