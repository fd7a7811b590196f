// The settings-file parser and its number reading on arbitrary text: no
// crash, keys and values free of white space, and the written form of the
// parsed table reads back as the same table.
#include <cstdint>
#include <map>
#include <string>

#include "fuzz_support.h"
#include "settings/settings_store.h"

namespace {

bool hasAsciiSpace(const std::string& text) {
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') return true;
  }
  return false;
}

std::map<std::string, std::string> parseAll(const std::string& text) {
  std::map<std::string, std::string> table;
  kv::settings::forEachSettingsLine(text, [&](const std::string& key, const std::string& value) {
    if (hasAsciiSpace(key) || hasAsciiSpace(value)) kv::fuzz::fail("white space kept", key + ":" + value);
    if (key.find(':') != std::string::npos) kv::fuzz::fail("a key holds a colon", key);
    table[key] = value;
  });
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(kv::fuzz::asText(data, size));
  const std::map<std::string, std::string> table = parseAll(text);
  for (const auto& [key, value] : table) {
    const std::int32_t a = kv::settings::parseIntOr(value, 7);
    const std::int32_t b = kv::settings::parseIntOr(value, -7);
    // The fallback may only come through when the text has no number.
    if (a != b && !(a == 7 && b == -7)) kv::fuzz::fail("parseIntOr mixes fallback and number", value);
  }
  if (parseAll(kv::settings::formatSettings(table)) != table) kv::fuzz::fail("written table reads back differently");
  const std::string noLogin = kv::settings::formatSettings(table, false);
  const auto reread = parseAll(noLogin);
  if (reread.count("account") != 0 || reread.count("password") != 0) kv::fuzz::fail("login kept in a copy");
  return 0;
}
