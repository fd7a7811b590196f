#include "ui/ui_resources.h"

#include <vector>

#include "platform/file_system.h"
#include "ui/sound_control.h"
#include "ui/ui_names.h"
#include "ui/widget_table.h"

namespace kv::ui {

void replaceWidgetImage(Widget& widget, platform::Graphics& graphics, const std::string& path) {
  widget.image.reset();
  widget.image = graphics.loadImage(path);
  widget.imagePath = path;
}

void showSoundState(UiState& ui, platform::Graphics& graphics) {
  replaceWidgetImage(ui.widgets[kSoundWidget], graphics,
                     resourcePath(ui, ui.audio.enableAudio ? kSoundImagePath : kSoundOffImagePath));
}

void setWidgetState(Widget& widget, WidgetState state, platform::Window& window) {
  if (widget.state == state) return;
  window.invalidateRect(widget.rect);
  widget.state = state;
}

std::string resourcePath(const std::string& folder, const std::string& defaultArtFolder,
                         const std::string& relative) {
  std::string own = folder + relative;
  if (defaultArtFolder.empty() || platform::isRegularFile(own)) return own;
  std::string fallback = defaultArtFolder + relative;
  return platform::isRegularFile(fallback) ? fallback : own;
}

void createUiResources(UiState& ui, platform::Graphics& graphics, platform::Audio& audio,
                       platform::Window& window, const std::string& folder) {
  ui.resourceFolder = folder;
  const std::string backgroundPath = resourcePath(ui, kBackgroundPath);
  ui.background = graphics.loadImage(backgroundPath);

  // One font file gives the four sizes; a missing file leaves every slot
  // empty and the interface without text.
  const std::string fontPath = resourcePath(ui, kFontPath);
  for (std::size_t slot = 0; slot < ui.fonts.size(); ++slot) {
    if (!ui.fonts[slot]) ui.fonts[slot] = graphics.loadFont(fontPath, kFontPoints[slot]);
    if (ui.fonts[slot] && !ui.fonts[slot]->ok()) ui.fonts[slot].reset();
  }

  const auto& table = widgetTable();
  for (std::size_t i = 0; i < table.size(); ++i) {
    const WidgetDef& def = table[i];
    Widget& w = ui.widgets[i];
    w.imagePath = resourcePath(ui, def.image);
    w.image = graphics.loadImage(w.imagePath);
    w.iconPath.clear();
    w.iconImage.reset();
    if (def.icon[0] != '\0') {
      w.iconPath = resourcePath(ui, def.icon);
      w.iconImage = graphics.loadImage(w.iconPath);
    }
    w.label.clear();
    w.font = nullptr;
    w.colour = 0xFF000000;
    w.rect = {def.x, def.y, def.width, def.height};
    w.state = WidgetState::Normal;
    const int slot = fontSlot(def.fontSelector);
    const platform::Font* font = slot >= 0 ? ui.fonts[static_cast<std::size_t>(slot)].get() : nullptr;
    if (def.label[0] != '\0' && font != nullptr) {
      w.label = def.label;
      w.font = font;
      w.colour = def.labelColour;
    }
  }

  if (!ui.audio.enableAudio) showSoundState(ui, graphics);
  // The panel stays open across a reload; its widget keeps the open look.
  if (ui.page != ScreenPage::MainScreen) {
    replaceWidgetImage(ui.widgets[kOptionsWidget], graphics, resourcePath(ui, kOptionsOnImagePath));
  }
  setWidgetState(ui.widgets[kPlayWidget], WidgetState::Disabled, window);
  openSounds(ui, audio, folder);

  // Files that are absent are remembered by their path in the server
  // folder, so that a later update can tell whether any of them has arrived
  // since; a file that is there but broken is not tried again. A file of the
  // default art stands in for one the server folder lacks.
  std::vector<std::string>& missing = ui.missingResources;
  missing.clear();
  bool incomplete = false;
  const std::string defaultPrefix = ui.defaultArtFolder.empty() ? std::string() : ui.defaultArtFolder + "/";
  const auto note = [&](bool loaded, const std::string& path) {
    if (!defaultPrefix.empty() && path.starts_with(defaultPrefix)) {
      incomplete = true;
      missing.push_back(folder + path.substr(ui.defaultArtFolder.size()));
    }
    if (loaded) return;
    incomplete = true;
    if (!platform::isRegularFile(path)) missing.push_back(path);
  };
  note(ui.background && ui.background->ok(), backgroundPath);
  bool fonts = true;
  for (const auto& font : ui.fonts) fonts = fonts && font;
  note(fonts, fontPath);
  for (const Widget& w : ui.widgets) {
    note(w.image && w.image->ok(), w.imagePath);
    if (!w.iconPath.empty()) note(w.iconImage && w.iconImage->ok(), w.iconPath);
  }
  if (audio.hasDevice()) {
    note(ui.music != nullptr, resourcePath(folder, ui.defaultArtFolder, kMusicPath));
    note(ui.click != nullptr, resourcePath(folder, ui.defaultArtFolder, kClickPath));
  }
  ui.resourcesIncomplete = incomplete;
}

bool missingResourceArrived(const UiState& ui) {
  for (const std::string& path : ui.missingResources) {
    if (platform::isRegularFile(path)) return true;
  }
  return false;
}

void releaseUiResources(UiState& ui) {
  ui.background.reset();
  for (Widget& w : ui.widgets) {
    w.image.reset();
    w.iconImage.reset();
    w.font = nullptr;  // the fonts go below
  }
  for (auto& font : ui.fonts) font.reset();
  releaseSounds(ui);
}

void refreshUiAfterImport(UiState& ui, platform::Graphics& graphics, platform::Window& window) {
  showSoundState(ui, graphics);
  window.invalidateRect(ui.widgets[kSoundWidget].rect);
  setWidgetState(ui.widgets[kPlayWidget], WidgetState::Disabled, window);
  reapplySoundSettings(ui);
}

}  // namespace kv::ui
