// The X11 side of the SDL window. Kept apart because the X11 headers that
// SDL_syswm.h brings in define macros (Status, Error, ...) that clash with
// the launcher's own names.
#include "platform/linux/linux_platform.h"

#include <dlfcn.h>

#include <SDL.h>
#include <SDL_syswm.h>
#if defined(SDL_VIDEO_DRIVER_X11)
#include <X11/Xatom.h>
#endif

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

// The few X library functions the launcher calls itself, borrowed from the
// library SDL has loaded; null members when it has not.
struct XLibrary {
  XLibrary() {
    handle = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) return;
    load(resourceString, "XResourceManagerString");
    load(internAtom, "XInternAtom");
    load(queryTree, "XQueryTree");
    load(getProperty, "XGetWindowProperty");
    load(free, "XFree");
    load(setTransientFor, "XSetTransientForHint");
    load(flush, "XFlush");
    load(defaultRoot, "XDefaultRootWindow");
    load(attributes, "XGetWindowAttributes");
  }
  ~XLibrary() {
    if (handle != nullptr) ::dlclose(handle);
  }
  XLibrary(const XLibrary&) = delete;
  XLibrary& operator=(const XLibrary&) = delete;

  template <typename F>
  void load(F& function, const char* name) {
    function = reinterpret_cast<F>(::dlsym(handle, name));
  }

  void* handle = nullptr;
  char* (*resourceString)(Display*) = nullptr;
  Atom (*internAtom)(Display*, const char*, Bool) = nullptr;
  Status (*queryTree)(Display*, ::Window, ::Window*, ::Window*, ::Window**, unsigned int*) = nullptr;
  int (*getProperty)(Display*, ::Window, Atom, long, long, Bool, Atom, Atom*, int*, unsigned long*,
                     unsigned long*, unsigned char**) = nullptr;
  int (*free)(void*) = nullptr;
  int (*setTransientFor)(Display*, ::Window, ::Window) = nullptr;
  int (*flush)(Display*) = nullptr;
  ::Window (*defaultRoot)(Display*) = nullptr;
  Status (*attributes)(Display*, ::Window, XWindowAttributes*) = nullptr;
};

// Whether window is shown and carries _NET_WM_PID = pid (a toolkit also
// marks hidden helper windows of the process).
bool ownedBy(const XLibrary& x, Display* display, ::Window window, Atom pidAtom, unsigned long pid) {
  XWindowAttributes shown{};
  if (x.attributes(display, window, &shown) == 0 || shown.map_state != IsViewable) return false;
  Atom type = 0;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  if (x.getProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                    &data) != Success) {
    return false;
  }
  const bool match = data != nullptr && format == 32 && items == 1 &&
                     *reinterpret_cast<unsigned long*>(data) == pid;
  if (data != nullptr) x.free(data);
  return match;
}

// The first window of process pid among the children of parent and their
// children (a window manager puts each top-level window into a frame).
::Window windowOf(const XLibrary& x, Display* display, ::Window parent, Atom pidAtom, unsigned long pid,
                int depth) {
  ::Window root = 0;
  ::Window above = 0;
  ::Window* children = nullptr;
  unsigned int count = 0;
  if (x.queryTree(display, parent, &root, &above, &children, &count) == 0) return 0;
  ::Window found = 0;
  for (unsigned int i = 0; i < count && found == 0; ++i) {
    if (ownedBy(x, display, children[i], pidAtom, pid)) {
      found = children[i];
    } else if (depth > 1) {
      found = windowOf(x, display, children[i], pidAtom, pid, depth - 1);
    }
  }
  if (children != nullptr) x.free(children);
  return found;
}

}  // namespace

bool SdlWindow::holdAbove(int pid) {
  SDL_SysWMinfo info;
  if (pid <= 0 || !x11Info(sdlWindow(), info)) return false;
#if defined(SDL_VIDEO_DRIVER_X11)
  static const XLibrary x;
  if (x.internAtom == nullptr || x.queryTree == nullptr || x.getProperty == nullptr ||
      x.free == nullptr || x.setTransientFor == nullptr || x.flush == nullptr ||
      x.defaultRoot == nullptr || x.attributes == nullptr) {
    return false;
  }
  Display* display = info.info.x11.display;
  const Atom pidAtom = x.internAtom(display, "_NET_WM_PID", True);
  if (pidAtom == 0) return false;
  const ::Window dialog =
      windowOf(x, display, x.defaultRoot(display), pidAtom, static_cast<unsigned long>(pid), 2);
  if (dialog == 0) return false;
  x.setTransientFor(display, dialog, info.info.x11.window);
  x.flush(display);
  return true;
#else
  return false;
#endif
}

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
  const XLibrary x;
  const char* text = x.resourceString != nullptr ? x.resourceString(info.info.x11.display) : nullptr;
  return text != nullptr ? text : "";
#else
  return {};
#endif
}

}  // namespace kv::platform::linux_backend
