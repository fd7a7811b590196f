#pragma once

#include <array>

#include "platform/canvas.h"
#include "ui/ui_state.h"

namespace kv::ui {

// The ten widget definitions in table order (index = WidgetIndex). Built at
// compile time and never changed.
const std::array<WidgetDef, kWidgetCount>& widgetTable();

// Whether a widget defined by def is shown on page.
[[nodiscard]] bool isVisibleOn(const WidgetDef& def, ScreenPage page);

// The font slot (0 = 10 pt ... 3 = 14 pt) of a font selector, or -1 for none.
[[nodiscard]] int fontSlot(int fontSelector);

// The point sizes of the four shared fonts, by slot.
inline constexpr std::array<float, 4> kFontPoints = {10.0f, 11.0f, 12.0f, 14.0f};
inline constexpr int kTextFontSlot = 0;   // status line, bottom line, controls
inline constexpr int kTitleFontSlot = 3;  // options panel titles

// The label colour of a widget whose Normal colour is c, in the given state:
// Disabled darkens each channel to c / 1.25, Hover and Pressed lighten by 40
// and 20 (at most 255); all three are opaque. Normal is c unchanged.
[[nodiscard]] platform::Argb labelColourFor(platform::Argb c, WidgetState state);

}  // namespace kv::ui
