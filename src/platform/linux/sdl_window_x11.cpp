// The X11 side of the SDL window. Kept apart because the X11 headers that
// SDL_syswm.h brings in define macros (Status, Error, ...) that clash with
// the launcher's own names.
#include "platform/linux/linux_platform.h"

#include <dlfcn.h>

#include <SDL.h>
#include <SDL_syswm.h>

namespace kv::platform::linux_backend {

namespace {

// What SDL knows of the window on its X11 display; false for a window that
// is not on one.
bool x11Info(SDL_Window* window, SDL_SysWMinfo& info) {
  if (window == nullptr) return false;
  SDL_VERSION(&info.version);
  if (SDL_GetWindowWMInfo(window, &info) != SDL_TRUE) return false;
#if defined(SDL_VIDEO_DRIVER_X11)
  return info.subsystem == SDL_SYSWM_X11 && info.info.x11.display != nullptr;
#else
  return false;
#endif
}

}  // namespace

unsigned long SdlWindow::x11WindowId() const {
  SDL_SysWMinfo info;
  if (!x11Info(sdlWindow(), info)) return 0;
#if defined(SDL_VIDEO_DRIVER_X11)
  return static_cast<unsigned long>(info.info.x11.window);
#else
  return 0;
#endif
}

std::string x11Resources(SDL_Window* window) {
  SDL_SysWMinfo info;
  if (!x11Info(window, info)) return {};
#if defined(SDL_VIDEO_DRIVER_X11)
  // SDL has loaded the X library already; borrow its function instead of
  // linking the library a second time.
  void* library = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (library == nullptr) return {};
  using ResourceString = char* (*)(Display*);
  auto* read = reinterpret_cast<ResourceString>(::dlsym(library, "XResourceManagerString"));
  const char* text = read != nullptr ? read(info.info.x11.display) : nullptr;
  std::string resources = text != nullptr ? text : "";
  ::dlclose(library);
  return resources;
#else
  return {};
#endif
}

}  // namespace kv::platform::linux_backend
