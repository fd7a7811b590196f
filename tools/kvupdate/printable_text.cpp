#include "printable_text.h"

namespace kv::tools {

std::string printableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      out.push_back('?');
    } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out.push_back('?');
      ++i;
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  return out;
}

}  // namespace kv::tools
