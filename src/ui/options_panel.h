#pragma once

#include <functional>
#include <string>

#include "platform/canvas.h"
#include "platform/window.h"
#include "ui/ui_state.h"

namespace kv::ui {

// What the System tab's controls do; bound by the window code to the
// launcher's actions.
struct SystemTabActions {
  std::function<void(int)> switchServer;  // "US" with 2, "EU" with 1
  std::function<void()> toggleLocalConfig;
  std::function<void()> exportConfiguration;
  std::function<void()> importConfiguration;
  std::function<void()> resetConfiguration;
};

// What the Audio tab's controls do; bound to the sound operations.
struct AudioTabActions {
  std::function<void()> toggleClickSound;
  std::function<void(int)> setClickVolume;
  std::function<void()> toggleMusic;
  std::function<void(int)> setMusicVolume;
  std::function<void()> toggleMasterSound;
};

// Everything the panel needs to build its tabs.
struct PanelBindings {
  SystemTabActions system;
  AudioTabActions audio;
  // The folder that holds the configuration file in force.
  std::function<std::string()> configPath;
  // Whether the configuration in force is the current server's own.
  std::function<bool()> isLocalConfig;
};

// Fills the System list (after emptying both lists): server question, "US"
// and "EU" buttons, the local-configuration checkbox and its note, the
// configuration-path line, Export, Import and Delete. The local-configuration
// flag is computed the first time only; refreshConfigPathLine recomputes it.
void buildSystemTab(UiState& ui, const PanelBindings& bindings);

// Appends the Audio tab's checkboxes and sliders, bound to the sound settings
// of ui.audio.
void buildAudioTab(UiState& ui, const AudioTabActions& actions);

// Recomputes the local-configuration flag and replaces the configuration-path
// line of the System list with one showing configPath (appended last).
void refreshConfigPathLine(UiState& ui, const std::string& configPath, bool isLocalConfig);

// The options widget: opens the panel on the System tab (options_on.png) or
// closes it (options.png, lists emptied). Repaints the window.
void toggleOptionsPanel(UiState& ui, platform::Graphics& graphics, platform::Window& window,
                        const PanelBindings& bindings);
// The three tab widgets.
void showSystemTab(UiState& ui, platform::Window& window, const PanelBindings& bindings);
void showAudioTab(UiState& ui, platform::Window& window, const PanelBindings& bindings);
void showControlSettingsTab(UiState& ui, platform::Window& window);

// Whether (x, y) lies in the control's rectangle grown by 6 pixels on every
// side (left and top inclusive, right and bottom exclusive).
[[nodiscard]] bool controlHit(const OptionControl& control, int x, int y);
inline constexpr int kControlHitGrowth = 6;

// Offers a press to the controls of the shown tab (System or Audio). A
// checkbox, or on the System tab a choice button, with an action runs it; a
// slider starts a drag (mouse captured). Answers whether a control took the
// press; the caller then repaints the window.
[[nodiscard]] bool pressControls(UiState& ui, int x, int y, platform::Window& window);

// The slider being dragged, or null.
[[nodiscard]] OptionControl* activeSliderControl(UiState& ui);

// Moves a slider to pointer x: minValue + (x - left) * range / (right - left),
// truncated and clamped, then onChange (also when unchanged) and the bound
// int. A slider with an empty range or track does nothing.
void updateSlider(OptionControl& slider, int x);

// Draws the panel over the main screen: the three colour bands, the visible
// widgets again, the tab title and the controls of the shown tab.
void paintOptionsPanel(const UiState& ui, platform::Canvas& canvas, int currentServer);

// Draws one control with the text font (missing font: no text).
void drawControl(const OptionControl& control, const platform::Font* font,
                 platform::Canvas& canvas, int currentServer);

}  // namespace kv::ui
