#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/linux_machine.h"
#include "platform/platform.h"
#include "platform/sdl/mixer_audio.h"

struct SDL_Window;

namespace kv::platform::linux_backend {

// The SDL2 window: borderless, centred, with a draggable top band answered by
// the handler, and worker reports carried as SDL user events.
class SdlWindow : public Window {
 public:
  SdlWindow();
  ~SdlWindow() override;
  bool create(const WindowSpec& spec, WindowHandler& handler) override;
  void show() override;
  void update() override;
  void minimize() override;
  void invalidate() override;
  void invalidateRect(Rect rect) override;
  void setCursor(Cursor cursor) override;
  void captureMouse() override;
  void releaseMouse() override;
  void run() override;
  void quit() override;
  Rect frame() const override;
  bool post(Report report) override;

  // The SDL window (an SDL_Window*), or null before create(). For parenting
  // message boxes.
  ::SDL_Window* sdlWindow() const;

  // The window's X11 id, for dialogs of other programs to attach to; 0
  // before create() and when the window is not on an X11 display.
  [[nodiscard]] unsigned long x11WindowId() const;

  // Marks the top-level window of process pid on the window's X11 display
  // as a dialog of this window (the transient hint), so the window manager
  // keeps it above. True once done; false while that process shows no
  // window yet, or when the window is not on an X11 display. Main thread.
  bool holdAbove(int pid);

  // Whether the window exists and the caller is its (main) thread: only then
  // may a dialog keep it painted.
  [[nodiscard]] bool onWindowThread() const;

  // One turn while a dialog blocks the main thread: repaints the window when
  // the window system or a worker asks for it, and drops the pointer and
  // keyboard input that is older than 150 ms (younger input may have come
  // after the dialog closed); reports and quit requests stay queued for the
  // event loop. Does nothing unless onWindowThread().
  void keepPaintedWhileBlocked();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The X resources of the display the window is on (where "Xft.dpi" is
// kept), empty when the window is not on an X11 display. Main thread.
std::string x11Resources(::SDL_Window* window);

// SDL message boxes and zenity file dialogs.
class LinuxDialogs : public Dialogs {
 public:
  explicit LinuxDialogs(SdlWindow& window) : window_(window) {}
  MessageAnswer messageBox(MessageOwner owner, const std::string& text, const std::string& title,
                           MessageButtons buttons, MessageIcon icon) override;
  ChosenPath chooseSaveFile(const std::string& title, const std::string& defaultName,
                            const std::string& typeName, const std::string& pattern) override;
  ChosenPath chooseOpenFile(const std::string& title, const std::string& typeName,
                            const std::string& pattern) override;

 private:
  // What a file dialog does while it waits: keeps the window painted when
  // called on its thread, nothing otherwise.
  std::function<void(int pid)> keepWindowPainted();

  SdlWindow& window_;
};

// xdg-open for pages, posix_spawn for programs.
class LinuxShell : public Shell {
 public:
  void openUrl(const std::string& url) override;
  bool startProcess(const std::string& executable, const std::string& workingDirectory) override;
};

// The OpenGL version of the driver, asked through a hidden SDL window;
// nothing when no context can be made.
std::optional<std::string> probeOpenGLWithSdl();

// Cairo + FreeType pictures and fonts.
class CairoGraphics : public Graphics {
 public:
  CairoGraphics();
  ~CairoGraphics() override;
  std::unique_ptr<Image> loadImage(const std::string& path) override;
  std::unique_ptr<Font> loadFont(const std::string& path, float points) override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The whole Linux backend.
class LinuxPlatform {
 public:
  LinuxPlatform();
  Platform& platform() { return platform_; }
  SdlWindow& window() { return window_; }
  LinuxMachine& machine() { return machine_; }

 private:
  SdlWindow window_;
  LinuxDialogs dialogs_{window_};
  LinuxShell shell_;
  LinuxMachine machine_{kMachineIdentityFiles, probeOpenGLWithSdl};
  sdl::MixerAudio audio_;
  CairoGraphics graphics_;
  Platform platform_{window_, dialogs_, shell_, machine_, audio_, graphics_};
};

}  // namespace kv::platform::linux_backend
