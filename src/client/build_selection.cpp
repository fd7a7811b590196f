#include "client/build_selection.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "client/client_names.h"
#include "platform/machine.h"
#include "platform/window.h"

namespace kv::client {
namespace {

bool isCWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The number at the front of text, read like strtof in the "C" locale.
std::optional<float> leadingNumber(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && isCWhiteSpace(text[at])) ++at;
  // from_chars takes a minus sign but no plus sign.
  if (at < text.size() && text[at] == '+') {
    ++at;
    if (at < text.size() && text[at] == '-') return std::nullopt;
  }
  float value = 0.0f;
  const char* first = text.data() + at;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
  if (error != std::errc() || end == first) return std::nullopt;
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

bool isCapableOpenGLVersion(std::string_view versionString) {
  const std::string_view cut = versionString.substr(0, versionString.find(' '));
  const std::optional<float> number = leadingNumber(cut);
  return number.has_value() && *number >= 2.0f;
}

std::string openGLRendererName(std::string_view versionString) {
  std::string name = kOpenGLRendererPrefix;
  name.reserve(name.size() + versionString.size() * 2);
  for (const char c : versionString) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      name.push_back(c);
    } else {
      name.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      name.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return name;
}

bool probeOpenGL(platform::Machine& machine, platform::Window& window, RendererChoice& choice) {
  const std::optional<std::string> version = machine.probeOpenGLVersion();
  if (!version || !isCapableOpenGLVersion(*version)) return false;
  choice.rendererName = openGLRendererName(*version);
  choice.rendererIsDirectX = false;
  window.invalidate();
  return true;
}

std::string clientBuildName(bool rendererIsDirectX, bool is64Bit) {
  const std::size_t index = (rendererIsDirectX ? 0u : 1u) + (is64Bit ? 0u : 2u);
  return kClientBuildNames[index];
}

std::string clientBuildName(const RendererChoice& choice, platform::Machine& machine) {
  return clientBuildName(choice.rendererIsDirectX, machine.is64Bit());
}

}  // namespace kv::client
