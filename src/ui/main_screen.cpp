#include "ui/main_screen.h"

#include <cmath>

#include "ui/options_panel.h"
#include "ui/text_fit.h"
#include "ui/ui_names.h"
#include "ui/widget_table.h"
#include "ui/widgets.h"

namespace kv::ui {

int progressFillWidth(float progress) {
  if (!(progress > 0.0f)) return 0;  // also NaN
  if (progress >= 1.0f) return kProgressTrack.width;
  return static_cast<int>(std::trunc(static_cast<float>(kProgressTrack.width) * progress));
}

void paintMainScreen(const UiState& ui, const StatusView& status, platform::Canvas& canvas) {
  if (ui.background && ui.background->ok()) {
    canvas.drawImage(*ui.background, {0, 0, ui.background->width(), ui.background->height()},
                     kClientRect);
  }
  const auto& table = widgetTable();
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (isVisibleOn(table[i], ui.page)) drawWidget(ui.widgets[i], canvas);
  }

  canvas.fillRect(kProgressTrack, kTrackColour);
  const platform::Font* text = ui.fonts[kTextFontSlot].get();
  const TextMeasure measure = [&canvas, text](const std::string& s) {
    return canvas.textWidth(s, *text);
  };
  if (status.currentServer == 1 || status.currentServer == 2) {
    canvas.fillRect({kProgressTrack.x, kProgressTrack.y, progressFillWidth(status.progress),
                     kProgressTrack.height},
                    kFillColour);
    if (text != nullptr) {
      // One line: a long file name is shortened, the percent and speed stay.
      canvas.drawText(fitStatusLine(status.text, kStatusTextBox.width, measure), *text,
                      kStatusColour, kStatusTextBox, platform::HAlign::Centre,
                      platform::VAlign::Top);
    }
  }
  if (text != nullptr) {
    const BottomLineLayout line =
        layoutBottomLine(kBottomLineBox, ui.rendererName, kCreditLine, kVersionLine, measure);
    for (const PlacedText* placed : {&line.renderer, &line.credit, &line.version}) {
      if (placed->text.empty()) continue;
      canvas.drawText(placed->text, *text, kBottomLineColour, placed->box, platform::HAlign::Left,
                      platform::VAlign::Top);
    }
  }

  if (ui.page != ScreenPage::MainScreen) paintOptionsPanel(ui, canvas, status.currentServer);
}

std::string webPageUrl(const std::string& serverFolder, const std::string& siteHost,
                       WebPage page) {
  return std::string(kWebScheme) + serverFolder + "." + siteHost +
         (page == WebPage::SignUp ? kSignUpPage : kIndexPage);
}

void openWebPage(platform::Shell& shell, const std::string& serverFolder,
                 const std::string& siteHost, WebPage page) {
  shell.openUrl(webPageUrl(serverFolder, siteHost, page));
}

}  // namespace kv::ui
