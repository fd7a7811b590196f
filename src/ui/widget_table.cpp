#include "ui/widget_table.h"

#include <algorithm>

#include "ui/ui_names.h"

namespace kv::ui {
namespace {

constexpr platform::Argb kBlack = 0xFF000000;
constexpr platform::Argb kWhite = 0xFFFFFFFF;

// Pages are ScreenPage values: 0 main screen, 1..3 the options panel tabs.
constexpr std::array<WidgetDef, kWidgetCount> kTable = {{
    {474, 9, 32, 32, kCloseImagePath, "", "", kBlack, 0, 0, 3},
    {443, 9, 32, 32, kMinimizeImagePath, "", "", kBlack, 0, 0, 3},
    {12, 9, 32, 32, kOptionsImagePath, "", "", kBlack, 0, 0, 3},
    {43, 9, 32, 32, kSoundImagePath, "", "", kBlack, 0, 0, 3},
    {317, 226, 188, 71, kBigButtonImagePath, "", "Play", kWhite, 4, 0, 0},
    {46, 226, 115, 29, kButtonImagePath, kSignUpIconPath, "Sign up", kBlack, 2, 0, 0},
    {173, 226, 115, 29, kButtonImagePath, kWebsiteIconPath, "Website", kBlack, 2, 0, 0},
    {53, 55, 115, 29, kButtonImagePath, "", "System", kWhite, 1, 1, 3},
    {53, 85, 115, 29, kButtonImagePath, "", "Audio", kWhite, 1, 1, 3},
    {53, 115, 115, 29, kButtonImagePath, "", "Control Settings", kWhite, 1, 1, 3},
}};

platform::Argb channel(platform::Argb c, int shift) { return (c >> shift) & 0xFFu; }

}  // namespace

const std::array<WidgetDef, kWidgetCount>& widgetTable() { return kTable; }

bool isVisibleOn(const WidgetDef& def, ScreenPage page) {
  const int p = static_cast<int>(page);
  return def.firstPage <= p && p <= def.lastPage;
}

int fontSlot(int fontSelector) {
  return fontSelector >= 1 && fontSelector <= 4 ? fontSelector - 1 : -1;
}

platform::Argb labelColourFor(platform::Argb c, WidgetState state) {
  if (state == WidgetState::Normal) return c;
  platform::Argb out = 0xFF000000u;
  for (const int shift : {16, 8, 0}) {
    const platform::Argb v = channel(c, shift);
    platform::Argb changed = v;
    switch (state) {
      case WidgetState::Disabled:
        changed = v * 4 / 5;  // v / 1.25, truncated
        break;
      case WidgetState::Hover:
        changed = std::min<platform::Argb>(v + 40, 255);
        break;
      case WidgetState::Pressed:
        changed = std::min<platform::Argb>(v + 20, 255);
        break;
      case WidgetState::Normal:
        break;
    }
    out |= changed << shift;
  }
  return out;
}

}  // namespace kv::ui
