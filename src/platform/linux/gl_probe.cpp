#include <SDL.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "platform/linux/linux_platform.h"

namespace kv::platform::linux_backend {
namespace {

// glGetString and the name it is asked for; declared here so that no OpenGL
// header is needed.
using GlGetStringFunction = const unsigned char* (*)(unsigned int);
constexpr unsigned int kGlVersion = 0x1F02;

// Video drivers that show nothing on a screen: there is no graphics driver
// behind them to ask.
bool isInvisibleDriver(const char* driver) {
  return driver == nullptr || std::strcmp(driver, "offscreen") == 0 ||
         std::strcmp(driver, "dummy") == 0;
}

// The context attributes the probe sets, saved and put back so that windows
// made later see the values they saw before.
class SavedContextAttributes {
 public:
  SavedContextAttributes() {
    for (std::size_t i = 0; i < kAttributes.size(); ++i) {
      if (SDL_GL_GetAttribute(kAttributes[i], &values_[i]) != 0) values_[i] = 0;
    }
  }
  ~SavedContextAttributes() {
    for (std::size_t i = 0; i < kAttributes.size(); ++i) {
      SDL_GL_SetAttribute(kAttributes[i], values_[i]);
    }
  }
  SavedContextAttributes(const SavedContextAttributes&) = delete;
  SavedContextAttributes& operator=(const SavedContextAttributes&) = delete;

 private:
  static constexpr std::array<SDL_GLattr, 4> kAttributes = {
      SDL_GL_CONTEXT_MAJOR_VERSION, SDL_GL_CONTEXT_MINOR_VERSION, SDL_GL_CONTEXT_PROFILE_MASK,
      SDL_GL_CONTEXT_FLAGS};
  std::array<int, 4> values_{};
};

// Asks the driver on a hidden 1 x 1 window; the video subsystem is up.
std::optional<std::string> askDriver() {
  if (isInvisibleDriver(SDL_GetCurrentVideoDriver())) return std::nullopt;

  const SavedContextAttributes saved;
  // A plain desktop context of the driver's own choice, never an ES one:
  // its version string starts with "OpenGL ES" and holds no plain number.
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 2);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 1);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, 0);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_FLAGS, 0);

  SDL_Window* window = SDL_CreateWindow("", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 1, 1,
                                        SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
  if (window == nullptr) return std::nullopt;

  std::optional<std::string> version;
  SDL_GLContext context = SDL_GL_CreateContext(window);
  if (context != nullptr) {
    if (SDL_GL_MakeCurrent(window, context) == 0) {
      const auto getString =
          reinterpret_cast<GlGetStringFunction>(SDL_GL_GetProcAddress("glGetString"));
      if (getString != nullptr) {
        const unsigned char* text = getString(kGlVersion);
        if (text != nullptr) version = std::string(reinterpret_cast<const char*>(text));
      }
      SDL_GL_MakeCurrent(window, nullptr);
    }
    SDL_GL_DeleteContext(context);
  }
  SDL_DestroyWindow(window);
  return version;
}

}  // namespace

std::optional<std::string> probeOpenGLWithSdl() {
  // The main window may have started the video subsystem already; then it
  // stays up after the probe.
  const bool ownVideo = SDL_WasInit(SDL_INIT_VIDEO) == 0;
  if (ownVideo && SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return std::nullopt;
  std::optional<std::string> version = askDriver();
  if (ownVideo) SDL_QuitSubSystem(SDL_INIT_VIDEO);
  return version;
}

}  // namespace kv::platform::linux_backend
