#include "signing/signing_text.h"

#include <sodium.h>

namespace kv::signing {

bool splitLines(std::string_view text, std::size_t maxLines, std::vector<std::string_view>& lines) {
  lines.clear();
  std::size_t start = 0;
  while (true) {
    if (lines.size() == maxLines) return false;
    std::size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string singleLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return out;
}

bool decodeBase64Exact(std::string_view text, std::size_t bytes, std::vector<std::uint8_t>& out) {
  ensureSodium();
  // Padded base64 of n bytes is exactly 4 * ceil(n / 3) characters.
  if (text.size() != sodium_base64_encoded_len(bytes, sodium_base64_VARIANT_ORIGINAL) - 1) return false;
  out.assign(bytes + 3, 0);
  std::size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &decoded, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size() || decoded != bytes) {
    return false;
  }
  out.resize(bytes);
  return true;
}

std::string encodeBase64(const std::vector<std::uint8_t>& bytes) {
  ensureSodium();
  std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();  // the terminating zero
  return out;
}

bool parseDecimal(std::string_view text, std::uint64_t limit, std::uint64_t& value) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text.front() == '0')) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v >= limit) return false;
  value = v;
  return true;
}

}  // namespace kv::signing
