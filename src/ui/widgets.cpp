#include "ui/widgets.h"

#include "ui/text_fit.h"
#include "ui/widget_table.h"

namespace kv::ui {

int hitTestWidgets(const UiState& ui, int x, int y) {
  const auto& table = widgetTable();
  for (int i = 0; i < kWidgetCount; ++i) {
    const Widget& w = ui.widgets[static_cast<std::size_t>(i)];
    if (!isVisibleOn(table[static_cast<std::size_t>(i)], ui.page)) continue;
    if (w.state == WidgetState::Disabled) continue;
    if (w.rect.contains(x, y)) return i;
  }
  return -1;
}

void drawWidget(const Widget& widget, platform::Canvas& canvas) {
  if (!widget.image) return;
  const int frame = static_cast<int>(widget.state);
  const platform::Rect& r = widget.rect;
  if (widget.image->ok()) {
    canvas.drawImage(*widget.image, {r.width * frame, 0, r.width, r.height}, r);
  }
  const bool icon = widget.iconImage && widget.iconImage->ok();
  if (icon) {
    canvas.drawImage(*widget.iconImage, {kIconSize * frame, 0, kIconSize, kIconSize},
                     {r.x + kIconInset, r.y + (r.height - kIconSize) / 2, kIconSize, kIconSize});
  }
  if (!widget.label.empty() && widget.font != nullptr) {
    const platform::Font& font = *widget.font;
    const TextMeasure measure = [&canvas, &font](const std::string& t) {
      return canvas.textWidth(t, font);
    };
    // Centred on the widget, unless that would put it over the icon: then
    // centred on the part right of the icon.
    platform::Rect box = r;
    const int iconRight = r.x + kIconInset + kIconSize + kIconLabelGap;
    if (icon && r.x + (r.width - measure(widget.label)) / 2 < iconRight) {
      box = {iconRight, r.y, r.x + r.width - iconRight, r.height};
    }
    canvas.drawText(fitText(widget.label, box.width, measure), font,
                    labelColourFor(widget.colour, widget.state), box, platform::HAlign::Centre,
                    platform::VAlign::Centre);
  }
}

}  // namespace kv::ui
