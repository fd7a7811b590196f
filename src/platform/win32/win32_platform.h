#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/sdl/mixer_audio.h"
#include "platform/platform.h"

namespace kv::platform::win32 {

// The Win32 main window: a registered class of the window's title, a
// borderless window centred on the screen, a top band that drags it like a
// title bar, GDI+ painting through an off-screen bitmap, and worker reports
// carried as posted messages WM_USER + 1 ... + 4 with heap buffers.
class Win32Window : public Window {
 public:
  // showCommand: how show() shows the window (the show command the program
  // was started with, e.g. SW_SHOWNORMAL).
  explicit Win32Window(int showCommand);
  ~Win32Window() override;
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

  // The window handle (an HWND), or null before create().
  void* handle() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Message boxes, the common item save dialog and the open-file dialog.
class Win32Dialogs : public Dialogs {
 public:
  explicit Win32Dialogs(Win32Window& window) : window_(window) {}
  MessageAnswer messageBox(MessageOwner owner, const std::string& text, const std::string& title,
                           MessageButtons buttons, MessageIcon icon) override;
  ChosenPath chooseSaveFile(const std::string& title, const std::string& defaultName,
                            const std::string& typeName, const std::string& pattern) override;
  ChosenPath chooseOpenFile(const std::string& title, const std::string& typeName,
                            const std::string& pattern) override;

 private:
  Win32Window& window_;
};

// ShellExecuteA for pages, CreateProcessA for programs.
class Win32Shell : public Shell {
 public:
  explicit Win32Shell(Win32Window& window) : window_(window) {}
  void openUrl(const std::string& url) override;
  bool startProcess(const std::string& executable, const std::string& workingDirectory) override;

 private:
  Win32Window& window_;
};

// The registry, WOW64, the WGL probe on the main window and library checks.
class Win32Machine : public Machine {
 public:
  explicit Win32Machine(Win32Window& window) : window_(window) {}
  std::string executablePath() override;
  std::string profileFolder() override;
  std::string machineIdentity() override;
  bool runtimeInstalled() override;
  bool is64Bit() override;
  bool claimSingleInstance(const std::string& className) override;
  std::optional<std::string> probeOpenGLVersion() override;
  bool libraryExports(const std::string& path, const std::string& symbol) override;

 private:
  Win32Window& window_;
};

// GDI+ pictures and fonts; a font comes from a private font collection of
// its file. GDI+ runs from construction to destruction.
class GdiplusGraphics : public Graphics {
 public:
  GdiplusGraphics();
  ~GdiplusGraphics() override;
  std::unique_ptr<Image> loadImage(const std::string& path) override;
  std::unique_ptr<Font> loadFont(const std::string& path, float points) override;

 private:
  std::uintptr_t token_ = 0;
};

// The whole Windows backend. Audio is SDL2_mixer, shared with Linux (platform/sdl).
class Win32Platform {
 public:
  // showCommand: the show command passed to the program's entry point.
  explicit Win32Platform(int showCommand);
  Platform& platform() { return platform_; }

 private:
  GdiplusGraphics graphics_;
  Win32Window window_;  // constructed with the show command
  Win32Dialogs dialogs_{window_};
  Win32Shell shell_{window_};
  Win32Machine machine_{window_};
  sdl::MixerAudio audio_;
  Platform platform_{window_, dialogs_, shell_, machine_, audio_, graphics_};
};

}  // namespace kv::platform::win32
