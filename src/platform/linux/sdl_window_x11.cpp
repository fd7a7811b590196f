// The X11 side of the SDL window. Kept apart because the X11 headers that
// SDL_syswm.h brings in define macros (Status, Error, ...) that clash with
// the launcher's own names.
#include "platform/linux/linux_platform.h"

#include <dlfcn.h>

#include <SDL.h>
#include <SDL_syswm.h>

namespace kv::platform::linux_backend {

unsigned long SdlWindow::x11WindowId() const {
  SDL_Window* window = sdlWindow();
  if (window == nullptr) return 0;
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWindowWMInfo(window, &info) != SDL_TRUE) return 0;
#if defined(SDL_VIDEO_DRIVER_X11)
  if (info.subsystem == SDL_SYSWM_X11) return static_cast<unsigned long>(info.info.x11.window);
#endif
  return 0;
}

std::string x11Resources(SDL_Window* window) {
  if (window == nullptr) return {};
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWindowWMInfo(window, &info) != SDL_TRUE) return {};
#if defined(SDL_VIDEO_DRIVER_X11)
  if (info.subsystem != SDL_SYSWM_X11 || info.info.x11.display == nullptr) return {};
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
