#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/audio.h"
#include "platform/canvas.h"
#include "platform/geometry.h"

namespace kv::ui {

// The look of a widget; also the frame index in its picture strip.
enum class WidgetState { Disabled = 0, Normal = 1, Hover = 2, Pressed = 3 };

// What the window shows: the main screen or one tab of the options panel.
enum class ScreenPage { MainScreen = 0, SystemTab = 1, AudioTab = 2, ControlSettingsTab = 3 };

// Indices of the ten widgets, in table order.
enum WidgetIndex : int {
  kCloseWidget = 0,
  kMinimizeWidget = 1,
  kOptionsWidget = 2,
  kSoundWidget = 3,
  kPlayWidget = 4,
  kSignUpWidget = 5,
  kWebsiteWidget = 6,
  kSystemTabWidget = 7,
  kAudioTabWidget = 8,
  kControlSettingsTabWidget = 9,
  kWidgetCount = 10,
};

// The fixed definition of one widget.
struct WidgetDef {
  int x, y, width, height;
  const char* image;  // picture strip, relative to the server folder ("/data/images/...")
  const char* icon;   // icon strip or ""
  const char* label;  // text or ""
  platform::Argb labelColour;
  int fontSelector;  // 0 none, 1 = 10 pt, 2 = 11 pt, 3 = 12 pt, 4 = 14 pt
  int firstPage, lastPage;
};

// The runtime record of one widget, built from its definition when the
// resources are loaded.
struct Widget {
  std::unique_ptr<platform::Image> image;      // picture strip; null after release
  std::unique_ptr<platform::Image> iconImage;  // icon strip, or null
  std::string imagePath;                       // where image was loaded from
  std::string iconPath;                        // where iconImage was loaded from, or ""
  std::string label;                           // "" without a label or without its font
  const platform::Font* font = nullptr;        // one of UiState::fonts, or null
  platform::Rect rect;
  WidgetState state = WidgetState::Normal;
  platform::Argb colour = 0xFF000000;  // label colour in the Normal state
};

// What an options-panel control is.
enum class ControlKind { Checkbox = 0, Slider = 1, ChoiceButton = 2, TextLine = 3 };

// One control of the options panel. value is nothing, a bound bool, a bound
// int (fields of the application state) or the control's own text.
struct OptionControl {
  ControlKind kind = ControlKind::TextLine;
  int left = 0, top = 0, right = 0, bottom = 0;
  std::function<void()> onActivate;
  std::function<void(int)> onChange;
  std::variant<std::monostate, bool*, int*, std::string> value;
  std::string label;
  int minValue = 0;
  int maxValue = 100;
  bool keepEnd = false;  // a text line too long for the panel keeps its end (a folder path)
  bool wraps = false;    // a text line wraps onto the lines its rectangle holds
};

// The five sound settings, read from the game client configuration.
struct AudioSettings {
  bool enableAudio = true;       // master switch
  bool enableMusicSound = true;  // music switch
  bool enableUISound = true;     // click switch
  int musicSoundVolume = 100;
  int uiSoundVolume = 100;
};

// Which list a dragged slider belongs to, and where in it; index -1 when no
// slider is being dragged.
struct SliderRef {
  bool system = false;
  int index = -1;
};

// Everything the interface owns. Main thread only.
struct UiState {
  std::array<Widget, kWidgetCount> widgets;  // in table order
  ScreenPage page = ScreenPage::MainScreen;
  int pressedWidget = -1;  // the widget held down (mouse captured), or -1
  bool sliderDragging = false;
  SliderRef activeSlider;
  // The controls of the shown tab; only one list is filled at a time.
  std::vector<OptionControl> systemControls;
  std::vector<OptionControl> audioControls;
  bool localConfigFlag = false;  // the configuration in force is the server's own
  bool localConfigFlagComputed = false;  // the System tab was built once in this process

  // The server folder the resources were loaded from ("<base>/eu"); the
  // alternative pictures of the options and sound widgets come from it too.
  std::string resourceFolder;
  // The installed default art (see kDefaultArtFolder), used for what the
  // server folder lacks; "" for none.
  std::string defaultArtFolder;
  std::unique_ptr<platform::Image> background;
  std::array<std::unique_ptr<platform::Font>, 4> fonts;  // 10, 11, 12, 14 pt
  // Some picture, the font or (with a sound device) a sound did not load
  // from the server folder the last time the resources were loaded (it came
  // from the default art, or from nowhere).
  bool resourcesIncomplete = false;
  // The files among them that were absent (paths as tried).
  std::vector<std::string> missingResources;

  AudioSettings audio;
  std::unique_ptr<platform::Sound> music;
  std::unique_ptr<platform::Sound> click;

  std::string rendererName = "DirectX";  // left on the bottom line
};

}  // namespace kv::ui
