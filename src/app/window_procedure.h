#pragma once

#include <string>

#include "app/app_state.h"
#include "app/launcher_actions.h"
#include "platform/canvas.h"
#include "platform/report.h"
#include "platform/window.h"
#include "ui/options_panel.h"

namespace kv::app {

// The launcher's window behaviour as plain functions over the application
// state: worker reports, pointer input, widget actions, cursor, drag band and
// painting. The window backend only translates its events into these calls.
// Every function runs on the main thread.

// The current server's resource folder ("<base>/eu").
[[nodiscard]] std::string currentResourceFolder(const AppState& state);

// Loads the interface resources of the current server.
void loadUiResources(AppState& state);
// Releases the interface resources and loads those of the current server;
// Play then shows the current server's readiness again.
void reloadUiResources(AppState& state);
// After a configuration import: the sound widget and sound settings follow
// the imported configuration, and Play the current server's readiness.
void refreshUiAfterImport(AppState& state);
// Enables Play when the current server is ready and disables it otherwise.
void showPlayReadiness(AppState& state);
// Recomputes the local-configuration flag and the configuration-path line
// from the configuration in force.
void refreshConfigPathLine(AppState& state);

// How the options panel's controls reach the launcher: the System tab's
// buttons call actions, the Audio tab's controls the sound operations.
[[nodiscard]] ui::PanelBindings panelBindings(AppState& state, LauncherActions& actions);

// Applies a worker report to its server's status. A report for a server that
// is not shown is stored without repainting; an invalid server index changes
// nothing. Ready enables Play and Error disables it, for the current server;
// Ready also reloads the interface resources when a file that was missing
// has arrived (never while the launcher is closing).
void applyReport(AppState& state, const platform::Report& report);

// Pointer moved to (x, y): drags the active slider, tracks hover, or toggles
// the pressed widget between Pressed and Normal as the pointer enters and
// leaves it.
void pointerMove(AppState& state, int x, int y);

// Left button pressed: offered to the shown tab's controls first, then to the
// widgets (the hit widget is pressed and the mouse captured).
void buttonDown(AppState& state, LauncherActions& actions, int x, int y);

// Left button released: ends a slider drag, or runs the pressed widget's
// action and plays the click when released over the same widget. A release
// elsewhere does nothing. The mouse capture ends either way.
void buttonUp(AppState& state, LauncherActions& actions, int x, int y);

// Runs the action of widget index (close, minimize, options, sound, Play,
// Sign up, Website, the three tabs).
void runWidgetAction(AppState& state, LauncherActions& actions, int index);

// The hand over a widget, the arrow elsewhere.
[[nodiscard]] platform::Cursor cursorAt(const AppState& state, int x, int y);

// Whether a press at (x, y) moves the window: the top band (y <= 40) outside
// every widget.
[[nodiscard]] bool isDragArea(const AppState& state, int x, int y);
inline constexpr int kDragBandBottom = 40;

// Paints the whole window for the current server.
void paintWindow(const AppState& state, platform::Canvas& canvas);

// The window handler of the launcher's main window.
class LauncherWindowHandler : public platform::WindowHandler {
 public:
  LauncherWindowHandler(AppState& state, LauncherActions& actions)
      : state_(state), actions_(actions) {}
  void onMouseMove(int x, int y) override;
  void onButtonDown(int x, int y) override;
  void onButtonUp(int x, int y) override;
  void onReport(const platform::Report& report) override;
  // Saves all settings and shuts the launcher down.
  void onDestroy() override;
  void onPaint(platform::Canvas& canvas) override;
  bool isDragArea(int x, int y) override;
  platform::Cursor cursorAt(int x, int y) override;

 private:
  AppState& state_;
  LauncherActions& actions_;
};

}  // namespace kv::app
