#include "quoted_name.h"

#include <cstdio>

namespace kv::tools {
namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when the bytes there
// do not form one.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = at(i);
  std::size_t length;
  unsigned int minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  unsigned int code = lead & (0xFFu >> (length + 1));
  for (std::size_t k = 1; k < length; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (at(i + k) & 0x3Fu);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void appendHex(std::string& out, unsigned char byte) {
  char buffer[5];
  std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
  out += buffer;
}

}  // namespace

std::string quotedName(std::string_view name) {
  std::string out = "\"";
  for (std::size_t i = 0; i < name.size();) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(byte));
      ++i;
    } else if (byte < 0x20 || byte == 0x7F) {
      appendHex(out, byte);
      ++i;
    } else if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
      ++i;
    } else {
      const std::size_t length = utf8SequenceLength(name, i);
      const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(name[i + 1]) <= 0x9F;
      if (length == 0 || c1) {
        const std::size_t count = length == 0 ? 1 : length;
        for (std::size_t k = 0; k < count; ++k) appendHex(out, static_cast<unsigned char>(name[i + k]));
        i += count;
      } else {
        out.append(name.substr(i, length));
        i += length;
      }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace kv::tools
