#pragma once

#include <string>

#include "platform/canvas.h"
#include "platform/geometry.h"
#include "platform/report.h"

namespace kv::platform {

enum class Cursor { Arrow, Hand };

// What the window asks of the launcher. Every call comes on the main thread.
class WindowHandler {
 public:
  virtual ~WindowHandler() = default;
  virtual void onMouseMove(int x, int y) = 0;
  virtual void onButtonDown(int x, int y) = 0;
  virtual void onButtonUp(int x, int y) = 0;
  virtual void onReport(const Report& report) = 0;
  // The window is being closed by the system (not by a widget).
  virtual void onDestroy() = 0;
  // Draw the whole client area.
  virtual void onPaint(Canvas& canvas) = 0;
  // Whether a press at (x, y) starts moving the window.
  virtual bool isDragArea(int x, int y) = 0;
  virtual Cursor cursorAt(int x, int y) = 0;
};

struct WindowSpec {
  std::string title;
  int width = 0;
  int height = 0;
};

// The launcher's one borderless window and its event loop.
class Window : public ReportSink {
 public:
  // Creates the window centred on the screen, hidden. Main thread. Answers
  // false when no window could be made (the launcher carries on without).
  virtual bool create(const WindowSpec& spec, WindowHandler& handler) = 0;
  virtual void show() = 0;
  // Paints at once when anything is marked for repainting (before the event
  // loop runs, e.g. while a start-up message box is open). Main thread.
  virtual void update() = 0;
  virtual void minimize() = 0;
  // Marks the rectangle (or all) for repainting; painting happens once per
  // loop turn. Safe to call from any thread.
  virtual void invalidate() = 0;
  virtual void invalidateRect(Rect rect) = 0;
  virtual void setCursor(Cursor cursor) = 0;
  virtual void captureMouse() = 0;
  virtual void releaseMouse() = 0;
  // Runs the event loop until quit() is called; blocks while idle.
  virtual void run() = 0;
  // Ends the event loop after the current event. Reports still queued are
  // dropped.
  virtual void quit() = 0;
  // Window position and size on the screen, in device pixels (for tests and
  // diagnostics).
  virtual Rect frame() const = 0;
};

}  // namespace kv::platform
