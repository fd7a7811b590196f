#pragma once

#include <string>
#include <string_view>

namespace kv::platform {
class Machine;
class Window;
}  // namespace kv::platform

namespace kv::client {

// The renderer the machine gets for this launcher run. Written once by
// probeOpenGL on the main thread before any updater worker starts, read
// freely afterwards.
struct RendererChoice {
  bool rendererIsDirectX = true;           // cleared by a successful probe
  std::string rendererName = "DirectX";    // shown on the main screen (UTF-8)
};

// Whether an OpenGL version string names version 2.0 or later. The string is
// cut at its first space; the rest is read as a number the way the C
// library's string-to-float conversion reads it (leading white space skipped,
// the longest numeric prefix used), except that the decimal point is always
// '.', whatever the locale. No number, a number out of range or one that is
// not finite counts as not capable.
[[nodiscard]] bool isCapableOpenGLVersion(std::string_view versionString);

// The renderer's screen name for a driver version string: "OpenGL " and the
// full string, each byte taken as one character (as Latin-1), so that the
// result is always valid UTF-8.
std::string openGLRendererName(std::string_view versionString);

// Asks machine for the OpenGL driver's version string once, at start-up, on
// the main thread. With version 2.0 or later it clears rendererIsDirectX,
// sets rendererName and asks window for a full repaint, and answers true.
// Otherwise (no display, no driver, no version, an older version, a text
// without a number) nothing changes and the answer is false. Callers may
// ignore the answer: the effect lies in choice.
bool probeOpenGL(platform::Machine& machine, platform::Window& window, RendererChoice& choice);

// The build that fits a renderer and a processor width: one of
// kClientBuildNames. Any thread.
std::string clientBuildName(bool rendererIsDirectX, bool is64Bit);

// The build for this machine: the renderer of choice and whether machine is
// 64-bit. Any thread, once the probe has run.
std::string clientBuildName(const RendererChoice& choice, platform::Machine& machine);

}  // namespace kv::client
