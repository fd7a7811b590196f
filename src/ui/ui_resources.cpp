#include "ui/ui_resources.h"

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
  bool fellBack = false;  // something did not come from the server folder
  const auto resolve = [&](const std::string& relative) {
    std::string path = resourcePath(ui, relative);
    fellBack = fellBack || path != folder + relative;
    return path;
  };
  ui.background = graphics.loadImage(resolve(kBackgroundPath));

  // One font file gives the four sizes; a missing file leaves every slot
  // empty and the interface without text.
  const std::string fontPath = resolve(kFontPath);
  for (std::size_t slot = 0; slot < ui.fonts.size(); ++slot) {
    if (!ui.fonts[slot]) ui.fonts[slot] = graphics.loadFont(fontPath, kFontPoints[slot]);
    if (ui.fonts[slot] && !ui.fonts[slot]->ok()) ui.fonts[slot].reset();
  }

  const auto& table = widgetTable();
  for (std::size_t i = 0; i < table.size(); ++i) {
    const WidgetDef& def = table[i];
    Widget& w = ui.widgets[i];
    w.imagePath = resolve(def.image);
    w.image = graphics.loadImage(w.imagePath);
    w.iconPath.clear();
    w.iconImage.reset();
    if (def.icon[0] != '\0') {
      w.iconPath = resolve(def.icon);
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

  if (!ui.audio.enableAudio) {
    replaceWidgetImage(ui.widgets[kSoundWidget], graphics, resolve(kSoundOffImagePath));
  }
  // The panel stays open across a reload; its widget keeps the open look.
  if (ui.page != ScreenPage::MainScreen) {
    replaceWidgetImage(ui.widgets[kOptionsWidget], graphics, resolve(kOptionsOnImagePath));
  }
  setWidgetState(ui.widgets[kPlayWidget], WidgetState::Disabled, window);
  openSounds(ui, audio, folder);

  bool incomplete = fellBack || !(ui.background && ui.background->ok());
  for (const auto& font : ui.fonts) incomplete = incomplete || !font;
  for (const Widget& w : ui.widgets) {
    incomplete = incomplete || !(w.image && w.image->ok()) ||
                 (!w.iconPath.empty() && !(w.iconImage && w.iconImage->ok()));
  }
  if (audio.hasDevice()) {
    incomplete = incomplete || !ui.music || !ui.click || !platform::isRegularFile(folder + kMusicPath) ||
                 !platform::isRegularFile(folder + kClickPath);
  }
  ui.resourcesIncomplete = incomplete;
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
  if (!ui.audio.enableAudio) {
    replaceWidgetImage(ui.widgets[kSoundWidget], graphics, resourcePath(ui, kSoundOffImagePath));
  }
  setWidgetState(ui.widgets[kPlayWidget], WidgetState::Disabled, window);
  reapplySoundSettings(ui);
}

}  // namespace kv::ui
