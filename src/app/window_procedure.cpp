#include "app/window_procedure.h"

#include "settings/config_placement.h"
#include "ui/main_screen.h"
#include "ui/sound_control.h"
#include "ui/ui_resources.h"
#include "ui/widget_table.h"
#include "ui/widgets.h"
#include "updater/server_profiles.h"

namespace kv::app {
namespace {

ui::Widget& playWidget(AppState& state) { return state.ui.widgets[ui::kPlayWidget]; }

void openPage(AppState& state, ui::WebPage page) {
  ui::openWebPage(state.platform.shell, updater::serverFolder(state.currentServer),
                  state.site.siteHost, page);
}

}  // namespace

std::string currentResourceFolder(const AppState& state) {
  return state.baseFolder + "/" + updater::serverFolder(state.currentServer);
}

void loadUiResources(AppState& state) {
  ui::createUiResources(state.ui, state.platform.graphics, state.platform.audio,
                        state.platform.window, currentResourceFolder(state));
}

void showPlayReadiness(AppState& state) {
  bool ready = false;
  if (updater::isValidServer(state.currentServer)) {
    ready = state.status[static_cast<std::size_t>(state.currentServer)].ready;
  }
  ui::setWidgetState(playWidget(state), ready ? ui::WidgetState::Normal : ui::WidgetState::Disabled,
                     state.platform.window);
}

void reloadUiResources(AppState& state) {
  ui::releaseUiResources(state.ui);
  loadUiResources(state);
  showPlayReadiness(state);
}

void refreshUiAfterImport(AppState& state) {
  ui::refreshUiAfterImport(state.ui, state.platform.graphics, state.platform.window);
  showPlayReadiness(state);
}

void refreshConfigPathLine(AppState& state) {
  ui::refreshConfigPathLine(state.ui, settings::configFolderDisplayText(state.settings),
                            state.settings.isLocalConfig());
}

ui::PanelBindings panelBindings(AppState& state, LauncherActions& actions) {
  ui::PanelBindings b;
  b.system.switchServer = actions.switchServer;
  b.system.toggleLocalConfig = actions.toggleLocalConfig;
  b.system.exportConfiguration = actions.exportConfiguration;
  b.system.importConfiguration = actions.importConfiguration;
  b.system.resetConfiguration = actions.resetConfiguration;
  b.audio.toggleClickSound = [&state] { ui::toggleClickSound(state.ui, state.settings); };
  b.audio.setClickVolume = [&state](int v) { ui::setClickVolume(state.ui, state.settings, v); };
  b.audio.toggleMusic = [&state] { ui::toggleMusic(state.ui, state.settings); };
  b.audio.setMusicVolume = [&state](int v) { ui::setMusicVolume(state.ui, state.settings, v); };
  b.audio.toggleMasterSound = [&state] {
    ui::toggleMasterSound(state.ui, state.settings, state.platform.graphics, nullptr);
  };
  b.configPath = [&state] { return settings::configFolderDisplayText(state.settings); };
  b.isLocalConfig = [&state] { return state.settings.isLocalConfig(); };
  return b;
}

void applyReport(AppState& state, const platform::Report& report) {
  const int s = report.server;
  if (!updater::isValidServer(s)) return;
  ServerStatus& status = state.status[static_cast<std::size_t>(s)];
  const bool current = s == state.currentServer;
  platform::Window& window = state.platform.window;
  switch (report.kind) {
    case platform::ReportKind::Status:
      status.statusText = report.text;
      status.ready = false;
      break;
    case platform::ReportKind::Progress:
      status.progress = report.progress;
      break;
    case platform::ReportKind::Ready:
      status.progress = 1.0f;
      status.statusText = kReadyText;
      status.ready = true;
      if (current) {
        // On a fresh installation the server's data folder (pictures, font,
        // sounds) arrives with its first update: load the set again once a
        // file that was missing is there, as a server switch does. A file
        // that is still missing (an optional one the site does not publish)
        // reloads nothing, so the music plays on. A launcher that is closing
        // loads nothing again.
        if (!state.quitting && ui::missingResourceArrived(state.ui)) reloadUiResources(state);
        ui::setWidgetState(playWidget(state), ui::WidgetState::Normal, window);
      }
      break;
    case platform::ReportKind::Error:
      status.statusText = report.text;
      status.ready = false;
      if (current) ui::setWidgetState(playWidget(state), ui::WidgetState::Disabled, window);
      break;
  }
  if (current) window.invalidate();
}

void pointerMove(AppState& state, int x, int y) {
  ui::UiState& ui = state.ui;
  platform::Window& window = state.platform.window;
  if (ui.sliderDragging) {
    if (ui::OptionControl* slider = ui::activeSliderControl(ui)) {
      ui::updateSlider(*slider, x);
      window.invalidate();
      return;
    }
  }
  if (ui.pressedWidget == -1) {
    const auto& table = ui::widgetTable();
    for (std::size_t i = 0; i < table.size(); ++i) {
      ui::Widget& w = ui.widgets[i];
      if (!ui::isVisibleOn(table[i], ui.page) || w.state == ui::WidgetState::Disabled) continue;
      ui::setWidgetState(w, w.rect.contains(x, y) ? ui::WidgetState::Hover : ui::WidgetState::Normal,
                         window);
    }
    return;
  }
  if (ui.pressedWidget < 0 || ui.pressedWidget >= ui::kWidgetCount) return;
  ui::Widget& pressed = ui.widgets[static_cast<std::size_t>(ui.pressedWidget)];
  if (pressed.state == ui::WidgetState::Disabled) return;
  ui::setWidgetState(pressed,
                     pressed.rect.contains(x, y) ? ui::WidgetState::Pressed : ui::WidgetState::Normal,
                     window);
}

void buttonDown(AppState& state, LauncherActions& /*actions*/, int x, int y) {
  ui::UiState& ui = state.ui;
  platform::Window& window = state.platform.window;
  if (ui::pressControls(ui, x, y, window)) {
    window.invalidate();
    return;
  }
  const int i = ui::hitTestWidgets(ui, x, y);
  if (i < 0) return;
  ui::setWidgetState(ui.widgets[static_cast<std::size_t>(i)], ui::WidgetState::Pressed, window);
  ui.pressedWidget = i;
  window.captureMouse();
}

void buttonUp(AppState& state, LauncherActions& actions, int x, int y) {
  ui::UiState& ui = state.ui;
  platform::Window& window = state.platform.window;
  if (ui.sliderDragging) {
    ui.sliderDragging = false;
    ui.activeSlider = {};
    window.releaseMouse();
    return;
  }
  if (ui.pressedWidget == -1) return;
  const int pressed = ui.pressedWidget;
  const int released = ui::hitTestWidgets(ui, x, y);
  if (released == pressed) {
    runWidgetAction(state, actions, pressed);
    ui::playClickSound(state.ui);
  }
  ui.pressedWidget = -1;
  window.releaseMouse();
}

void runWidgetAction(AppState& state, LauncherActions& actions, int index) {
  ui::UiState& ui = state.ui;
  platform::Window& window = state.platform.window;
  switch (index) {
    case ui::kCloseWidget:
      state.settings.saveAllSettings();
      if (actions.shutdown) actions.shutdown();
      break;
    case ui::kMinimizeWidget:
      window.minimize();
      break;
    case ui::kOptionsWidget:
      ui::toggleOptionsPanel(ui, state.platform.graphics, window, panelBindings(state, actions));
      break;
    case ui::kSoundWidget:
      ui::toggleMasterSound(ui, state.settings, state.platform.graphics, &window);
      break;
    case ui::kPlayWidget:
      if (actions.play) actions.play();
      break;
    case ui::kSignUpWidget:
      openPage(state, ui::WebPage::SignUp);
      break;
    case ui::kWebsiteWidget:
      openPage(state, ui::WebPage::Website);
      break;
    case ui::kSystemTabWidget:
      ui::showSystemTab(ui, window, panelBindings(state, actions));
      break;
    case ui::kAudioTabWidget:
      ui::showAudioTab(ui, window, panelBindings(state, actions));
      break;
    case ui::kControlSettingsTabWidget:
      ui::showControlSettingsTab(ui, window);
      break;
    default:
      break;
  }
}

platform::Cursor cursorAt(const AppState& state, int x, int y) {
  return ui::hitTestWidgets(state.ui, x, y) >= 0 ? platform::Cursor::Hand : platform::Cursor::Arrow;
}

bool isDragArea(const AppState& state, int x, int y) {
  return y <= kDragBandBottom && ui::hitTestWidgets(state.ui, x, y) < 0;
}

void paintWindow(const AppState& state, platform::Canvas& canvas) {
  ui::StatusView view;
  view.currentServer = state.currentServer;
  if (updater::isValidServer(state.currentServer)) {
    const ServerStatus& s = state.status[static_cast<std::size_t>(state.currentServer)];
    view.progress = s.progress;
    view.text = s.statusText;
  }
  ui::paintMainScreen(state.ui, view, canvas);
}

void LauncherWindowHandler::onMouseMove(int x, int y) { pointerMove(state_, x, y); }
void LauncherWindowHandler::onButtonDown(int x, int y) { buttonDown(state_, actions_, x, y); }
void LauncherWindowHandler::onButtonUp(int x, int y) { buttonUp(state_, actions_, x, y); }
void LauncherWindowHandler::onReport(const platform::Report& report) { applyReport(state_, report); }

void LauncherWindowHandler::onDestroy() {
  state_.settings.saveAllSettings();
  if (actions_.shutdown) actions_.shutdown();
}

void LauncherWindowHandler::onPaint(platform::Canvas& canvas) { paintWindow(state_, canvas); }
bool LauncherWindowHandler::isDragArea(int x, int y) { return app::isDragArea(state_, x, y); }
platform::Cursor LauncherWindowHandler::cursorAt(int x, int y) { return app::cursorAt(state_, x, y); }

}  // namespace kv::app
