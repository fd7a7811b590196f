#pragma once

#include "platform/canvas.h"
#include "ui/ui_state.h"

namespace kv::ui {

// The index of the first widget that is visible on the current page, not
// Disabled and contains (x, y) (left and top inclusive, right and bottom
// exclusive), or -1.
[[nodiscard]] int hitTestWidgets(const UiState& ui, int x, int y);

// Draws one widget: frame `state` of its picture strip, the frame of its icon
// strip 8 pixels in and centred vertically, and its label on one line in the
// state's colour, centred (right of the icon when centring would cover it)
// and shortened with an ellipsis when it is wider than the widget. A widget without a picture (resources released)
// draws nothing; a picture that failed to load is skipped and the label is still drawn.
void drawWidget(const Widget& widget, platform::Canvas& canvas);

// Side of one frame of an icon strip.
inline constexpr int kIconSize = 24;
// Distance of the icon from the widget's left edge.
inline constexpr int kIconInset = 8;
// Least space between the icon and the label.
inline constexpr int kIconLabelGap = 3;

}  // namespace kv::ui
