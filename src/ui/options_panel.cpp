#include "ui/options_panel.h"

#include <algorithm>

#include "ui/ui_names.h"
#include "ui/ui_resources.h"

namespace kv::ui {
namespace {

// A control of the given kind in its rectangle (left, top, right, bottom).
OptionControl control(ControlKind kind, int left, int top, int right, int bottom,
                      std::string label = {}) {
  OptionControl c;
  c.kind = kind;
  c.left = left;
  c.top = top;
  c.right = right;
  c.bottom = bottom;
  c.label = std::move(label);
  return c;
}

OptionControl textLine(int left, int top, int right, int bottom, std::string text) {
  OptionControl c = control(ControlKind::TextLine, left, top, right, bottom);
  c.value = std::move(text);
  return c;
}

OptionControl choiceButton(int left, int top, int right, int bottom, std::string label,
                           std::function<void()> action) {
  OptionControl c = control(ControlKind::ChoiceButton, left, top, right, bottom, std::move(label));
  c.onActivate = std::move(action);
  return c;
}

OptionControl checkbox(int left, int top, int right, int bottom, std::string label, bool* value,
                       std::function<void()> action) {
  OptionControl c = control(ControlKind::Checkbox, left, top, right, bottom, std::move(label));
  c.value = value;
  c.onActivate = std::move(action);
  return c;
}

OptionControl slider(int left, int top, int right, int bottom, std::string label, int* value,
                     int minValue, std::function<void(int)> action) {
  OptionControl c = control(ControlKind::Slider, left, top, right, bottom, std::move(label));
  c.value = value;
  c.minValue = minValue;
  c.maxValue = 100;
  c.onChange = std::move(action);
  return c;
}

// A bound callable with the target's arguments, or nothing when unbound.
std::function<void()> bindServer(const std::function<void(int)>& fn, int server) {
  if (!fn) return {};
  return [fn, server] { fn(server); };
}

constexpr int kConfigLineLeft = 199;
// The note above wraps onto a second line, so the folder line and the three
// buttons sit one line lower than a one-line note would put them.
constexpr int kConfigLineTop = 196;
constexpr int kButtonRowTop = 217;

OptionControl configPathLine(const std::string& path) {
  OptionControl c = textLine(kConfigLineLeft, kConfigLineTop, 699, kConfigLineTop + 34, path);
  c.keepEnd = true;
  return c;
}

void emptyLists(UiState& ui) {
  ui.systemControls.clear();
  ui.audioControls.clear();
}

}  // namespace

void buildSystemTab(UiState& ui, const PanelBindings& bindings) {
  emptyLists(ui);
  if (!ui.localConfigFlagComputed) {
    ui.localConfigFlag = bindings.isLocalConfig ? bindings.isLocalConfig() : false;
    ui.localConfigFlagComputed = true;
  }
  const SystemTabActions& a = bindings.system;
  auto& list = ui.systemControls;
  list.push_back(textLine(199, 82, 599, 116, kServerQuestionText));
  list.push_back(choiceButton(199, 103, 259, 127, kUsLabel, bindServer(a.switchServer, 2)));
  list.push_back(choiceButton(269, 103, 329, 127, kEuLabel, bindServer(a.switchServer, 1)));
  list.push_back(checkbox(199, 139, 239, 173, kLocalConfigLabel, &ui.localConfigFlag,
                          a.toggleLocalConfig));
  OptionControl note = textLine(199, 160, 599, 194, kLocalConfigNote);
  note.wraps = true;
  list.push_back(std::move(note));
  list.push_back(configPathLine(bindings.configPath ? bindings.configPath() : std::string()));
  const int b = kButtonRowTop;
  list.push_back(choiceButton(199, b, 249, b + 24, kExportLabel, a.exportConfiguration));
  list.push_back(choiceButton(254, b, 304, b + 24, kImportLabel, a.importConfiguration));
  list.push_back(choiceButton(309, b, 359, b + 24, kDeleteLabel, a.resetConfiguration));
}

void buildAudioTab(UiState& ui, const AudioTabActions& a) {
  auto& list = ui.audioControls;
  AudioSettings& s = ui.audio;
  list.push_back(checkbox(199, 88, 219, 108, kEnableUiSoundLabel, &s.enableUISound, a.toggleClickSound));
  list.push_back(slider(199, 128, 444, 136, kUiVolumeLabel, &s.uiSoundVolume, 0, a.setClickVolume));
  list.push_back(checkbox(199, 148, 219, 168, kEnableMusicLabel, &s.enableMusicSound, a.toggleMusic));
  list.push_back(slider(199, 188, 444, 196, kMusicVolumeLabel, &s.musicSoundVolume, 1, a.setMusicVolume));
  list.push_back(checkbox(199, 208, 219, 228, kEnableSoundLabel, &s.enableAudio, a.toggleMasterSound));
}

void refreshConfigPathLine(UiState& ui, const std::string& configPath, bool isLocalConfig) {
  ui.localConfigFlag = isLocalConfig;
  auto& list = ui.systemControls;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [](const OptionControl& c) {
                              return c.kind == ControlKind::TextLine && c.left == kConfigLineLeft &&
                                     c.top == kConfigLineTop;
                            }),
             list.end());
  list.push_back(configPathLine(configPath));
}

void toggleOptionsPanel(UiState& ui, platform::Graphics& graphics, platform::Window& window,
                        const PanelBindings& bindings) {
  Widget& options = ui.widgets[kOptionsWidget];
  if (ui.page == ScreenPage::MainScreen) {
    replaceWidgetImage(options, graphics, resourcePath(ui, kOptionsOnImagePath));
    ui.page = ScreenPage::SystemTab;
    buildSystemTab(ui, bindings);
  } else {
    replaceWidgetImage(options, graphics, resourcePath(ui, kOptionsImagePath));
    ui.page = ScreenPage::MainScreen;
    emptyLists(ui);
  }
  window.invalidate();
}

void showSystemTab(UiState& ui, platform::Window& window, const PanelBindings& bindings) {
  if (ui.page == ScreenPage::SystemTab) return;
  ui.page = ScreenPage::SystemTab;
  buildSystemTab(ui, bindings);
  window.invalidate();
}

void showAudioTab(UiState& ui, platform::Window& window, const PanelBindings& bindings) {
  if (ui.page == ScreenPage::AudioTab) return;
  ui.page = ScreenPage::AudioTab;
  emptyLists(ui);
  buildAudioTab(ui, bindings.audio);
  window.invalidate();
}

void showControlSettingsTab(UiState& ui, platform::Window& window) {
  if (ui.page != ScreenPage::ControlSettingsTab) {
    ui.page = ScreenPage::ControlSettingsTab;
    emptyLists(ui);
  }
  window.invalidate();
}

bool controlHit(const OptionControl& c, int x, int y) {
  return c.left - kControlHitGrowth <= x && x < c.right + kControlHitGrowth &&
         c.top - kControlHitGrowth <= y && y < c.bottom + kControlHitGrowth;
}

bool pressControls(UiState& ui, int x, int y, platform::Window& window) {
  const bool system = ui.page == ScreenPage::SystemTab;
  if (!system && ui.page != ScreenPage::AudioTab) return false;
  auto& list = system ? ui.systemControls : ui.audioControls;
  for (std::size_t i = 0; i < list.size(); ++i) {
    OptionControl& c = list[i];
    if (!controlHit(c, x, y)) continue;
    const bool activates = c.kind == ControlKind::Checkbox ||
                           (system && c.kind == ControlKind::ChoiceButton);
    if (activates && c.onActivate) {
      // The action may rebuild this very list (server switch, configuration
      // toggle), so it runs from a copy, never from the list's element.
      const std::function<void()> action = c.onActivate;
      action();
      return true;
    }
    if (c.kind == ControlKind::Slider) {
      ui.sliderDragging = true;
      ui.activeSlider = {system, static_cast<int>(i)};
      updateSlider(c, x);
      window.captureMouse();
      return true;
    }
  }
  return false;
}

OptionControl* activeSliderControl(UiState& ui) {
  if (!ui.sliderDragging || ui.activeSlider.index < 0) return nullptr;
  auto& list = ui.activeSlider.system ? ui.systemControls : ui.audioControls;
  const auto index = static_cast<std::size_t>(ui.activeSlider.index);
  if (index >= list.size() || list[index].kind != ControlKind::Slider) return nullptr;
  return &list[index];
}

void updateSlider(OptionControl& s, int x) {
  const long long range = static_cast<long long>(s.maxValue) - s.minValue;
  const long long track = static_cast<long long>(s.right) - s.left;
  if (range <= 0 || track <= 0) return;
  long long v = s.minValue + ((static_cast<long long>(x) - s.left) * range) / track;
  v = std::clamp<long long>(v, s.minValue, s.maxValue);
  const int value = static_cast<int>(v);
  if (s.onChange) {
    const std::function<void(int)> change = s.onChange;
    change(value);
  }
  if (int* const* bound = std::get_if<int*>(&s.value); bound != nullptr && *bound != nullptr) {
    **bound = value;
  }
}

}  // namespace kv::ui
