// Painting of the options panel over the main screen.
#include <algorithm>
#include <cmath>
#include <string>

#include "ui/options_panel.h"
#include "ui/text_fit.h"
#include "ui/ui_names.h"
#include "ui/widget_table.h"
#include "ui/widgets.h"

namespace kv::ui {
namespace {

constexpr platform::Argb kBlack = 0xFF000000;
constexpr platform::Argb kTabColumnColour = 0xFF000000;
constexpr platform::Argb kSeparatorColour = 0xFFFF9800;
constexpr platform::Argb kContentColour = 0xFFFFFFFF;
constexpr platform::Argb kSelectedFill = 0xFFFFE5B4;
constexpr platform::Argb kSelectedBorder = 0xFFFFA500;
constexpr platform::Argb kSelectedText = 0xFF000000;
constexpr platform::Argb kButtonFill = 0xFFF2F2F2;
constexpr platform::Argb kButtonBorder = 0xFF888888;
constexpr platform::Argb kButtonText = 0xFF444444;
// The shown tab opens into the content area: the content's white from the
// tab's left edge to the content area, an orange bar on its left, a black
// label (21 : 1 on the white).
constexpr platform::Argb kShownTabFill = kContentColour;
constexpr platform::Argb kShownTabBar = kSeparatorColour;
constexpr platform::Argb kShownTabText = 0xFF000000;
constexpr int kShownTabBarWidth = 4;
constexpr int kContentLeft = 175;
constexpr int kSliderLength = 245;
constexpr int kKnobSize = 8;
constexpr int kCheckboxSize = 20;
// Text on the panel ends this far inside its right edge (175 + 295).
constexpr int kPanelTextRight = 470 - 4;
constexpr int kTextLineHeight = 18;

// Draws text on one line in the box from (x, y) to the panel's text edge,
// shortened with an ellipsis when it is longer.
void drawPanelText(const std::string& text, const platform::Font& font, platform::Argb colour,
                   int x, int y, int height, platform::Canvas& canvas,
                   FitSide keep = FitSide::Beginning) {
  const platform::Rect box{x, y, kPanelTextRight - x, height};
  if (box.width <= 0) return;
  const std::string shown = fitText(
      text, box.width, [&canvas, &font](const std::string& t) { return canvas.textWidth(t, font); },
      keep);
  canvas.drawText(shown, font, colour, box, platform::HAlign::Left, platform::VAlign::Top);
}

const char* titleOf(ScreenPage page) {
  switch (page) {
    case ScreenPage::AudioTab:
      return kAudioTitle;
    case ScreenPage::ControlSettingsTab:
      return kControlSettingsTitle;
    default:
      return kSystemTitle;
  }
}

// The tab widget of the page, or -1 on the main screen.
int shownTabWidget(ScreenPage page) {
  switch (page) {
    case ScreenPage::SystemTab:
      return kSystemTabWidget;
    case ScreenPage::AudioTab:
      return kAudioTabWidget;
    case ScreenPage::ControlSettingsTab:
      return kControlSettingsTabWidget;
    default:
      return -1;
  }
}

// Marks the shown tab over its button picture, whatever state the button is
// in: a player sees which tab is open without moving the pointer.
void drawShownTab(const Widget& tab, platform::Canvas& canvas) {
  const platform::Rect& r = tab.rect;
  canvas.fillRect({r.x, r.y, kContentLeft - r.x, r.height}, kShownTabFill);
  canvas.fillRect({r.x, r.y, kShownTabBarWidth, r.height}, kShownTabBar);
  if (tab.label.empty() || tab.font == nullptr) return;
  const platform::Rect box{r.x + kShownTabBarWidth, r.y, r.width - kShownTabBarWidth, r.height};
  const platform::Font& font = *tab.font;
  canvas.drawText(fitText(tab.label, box.width,
                          [&canvas, &font](const std::string& t) { return canvas.textWidth(t, font); }),
                  font, kShownTabText, box, platform::HAlign::Centre, platform::VAlign::Centre);
}

bool isSelected(const OptionControl& c, int currentServer) {
  return (c.label == kUsLabel && currentServer == 2) || (c.label == kEuLabel && currentServer == 1);
}

}  // namespace

void drawControl(const OptionControl& c, const platform::Font* font, platform::Canvas& canvas,
                 int currentServer) {
  switch (c.kind) {
    case ControlKind::Checkbox: {
      canvas.strokeRect({c.left, c.top, kCheckboxSize, kCheckboxSize}, kBlack);
      bool* const* bound = std::get_if<bool*>(&c.value);
      if (bound != nullptr && *bound != nullptr && **bound) {
        canvas.fillRect({c.left + 4, c.top + 4, 12, 12}, kBlack);
      }
      if (font != nullptr) {
        drawPanelText(c.label, *font, kBlack, c.left + 28, c.top + 2, kTextLineHeight, canvas);
      }
      break;
    }
    case ControlKind::Slider: {
      const int x = c.left;
      const int y = c.top - 20;
      int v = 0;
      if (auto* p = std::get_if<int*>(&c.value); p != nullptr && *p != nullptr) v = **p;
      if (font != nullptr) {
        drawPanelText(c.label + ": " + std::to_string(v), *font, kBlack, x, y, kTextLineHeight,
                      canvas);
      }
      canvas.drawLine(x, y + 20, x + kSliderLength, y + 20, 2.0f, kBlack);
      // A value read from the file may lie far outside 0..100; the knob then
      // lies outside the panel, but its position never overflows.
      const float offset = std::clamp(static_cast<float>(v) / 100.0f * static_cast<float>(kSliderLength),
                                      -100000.0f, 100000.0f);
      const int knobX = x + static_cast<int>(std::trunc(offset)) - kKnobSize / 2;
      canvas.fillEllipse({knobX, y + 16, kKnobSize, kKnobSize}, kBlack);
      break;
    }
    case ControlKind::ChoiceButton: {
      const platform::Rect r{c.left, c.top, c.right - c.left, c.bottom - c.top};
      const bool selected = isSelected(c, currentServer);
      canvas.fillRect(r, selected ? kSelectedFill : kButtonFill);
      canvas.strokeRect(r, selected ? kSelectedBorder : kButtonBorder);
      if (font != nullptr) {
        const std::string label = fitText(c.label, r.width, [&canvas, font](const std::string& t) {
          return canvas.textWidth(t, *font);
        });
        canvas.drawText(label, *font, selected ? kSelectedText : kButtonText, r,
                        platform::HAlign::Centre, platform::VAlign::Centre);
      }
      break;
    }
    case ControlKind::TextLine: {
      const std::string* text = std::get_if<std::string>(&c.value);
      // A note wraps within its rectangle (and the panel); a folder path
      // keeps its end, where the folders differ.
      if (font != nullptr && text != nullptr && c.wraps) {
        const platform::Rect box{c.left, c.top, kPanelTextRight - c.left, c.bottom - c.top};
        if (box.width > 0) {
          canvas.drawText(*text, *font, kBlack, box, platform::HAlign::Left, platform::VAlign::Top);
        }
      } else if (font != nullptr && text != nullptr) {
        drawPanelText(*text, *font, kBlack, c.left, c.top, kTextLineHeight, canvas,
                      c.keepEnd ? FitSide::End : FitSide::Beginning);
      }
      break;
    }
  }
}

void paintOptionsPanel(const UiState& ui, platform::Canvas& canvas, int currentServer) {
  canvas.fillRect({48, 48, 124, 228}, kTabColumnColour);
  canvas.fillRect({172, 48, 3, 228}, kSeparatorColour);
  canvas.fillRect({175, 48, 295, 228}, kContentColour);

  const auto& table = widgetTable();
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (isVisibleOn(table[i], ui.page)) drawWidget(ui.widgets[i], canvas);
  }
  if (const int shown = shownTabWidget(ui.page); shown >= 0) {
    drawShownTab(ui.widgets[static_cast<std::size_t>(shown)], canvas);
  }

  if (const platform::Font* title = ui.fonts[kTitleFontSlot].get()) {
    drawPanelText(titleOf(ui.page), *title, kBlack, 180, 58, 24, canvas);
  }

  const platform::Font* font = ui.fonts[kTextFontSlot].get();
  if (ui.page == ScreenPage::AudioTab) {
    for (const OptionControl& c : ui.audioControls) {
      if (c.kind == ControlKind::Checkbox || c.kind == ControlKind::Slider) {
        drawControl(c, font, canvas, currentServer);
      }
    }
  } else if (ui.page == ScreenPage::SystemTab) {
    for (const OptionControl& c : ui.systemControls) {
      if (c.kind != ControlKind::Slider) drawControl(c, font, canvas, currentServer);
    }
  }
}

}  // namespace kv::ui
