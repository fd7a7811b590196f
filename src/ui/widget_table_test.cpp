#include "ui/widget_table.h"

#include <gtest/gtest.h>

#include <string>

#include "ui/ui_names.h"

namespace kv::ui {
namespace {

struct Row {
  int x, y, w, h;
  std::string image, icon, label;
  platform::Argb colour;
  int font, first, last;
};

TEST(WidgetTable, EveryDefinitionIsExact) {
  const Row rows[kWidgetCount] = {
      {474, 9, 32, 32, "/data/images/close.png", "", "", 0xFF000000, 0, 0, 3},
      {443, 9, 32, 32, "/data/images/minimize.png", "", "", 0xFF000000, 0, 0, 3},
      {12, 9, 32, 32, "/data/images/options.png", "", "", 0xFF000000, 0, 0, 3},
      {43, 9, 32, 32, "/data/images/sound.png", "", "", 0xFF000000, 0, 0, 3},
      {317, 226, 188, 71, "/data/images/big_button.png", "", "Play", 0xFFFFFFFF, 4, 0, 0},
      {46, 226, 115, 29, "/data/images/button.png", "/data/images/icon_sign_up.png", "Sign up",
       0xFF000000, 2, 0, 0},
      {173, 226, 115, 29, "/data/images/button.png", "/data/images/icon_website.png", "Website",
       0xFF000000, 2, 0, 0},
      {53, 55, 115, 29, "/data/images/button.png", "", "System", 0xFFFFFFFF, 1, 1, 3},
      {53, 85, 115, 29, "/data/images/button.png", "", "Audio", 0xFFFFFFFF, 1, 1, 3},
      {53, 115, 115, 29, "/data/images/button.png", "", "Control Settings", 0xFFFFFFFF, 1, 1, 3},
  };
  const auto& table = widgetTable();
  for (int i = 0; i < kWidgetCount; ++i) {
    SCOPED_TRACE(i);
    const WidgetDef& d = table[i];
    const Row& r = rows[i];
    EXPECT_EQ(d.x, r.x);
    EXPECT_EQ(d.y, r.y);
    EXPECT_EQ(d.width, r.w);
    EXPECT_EQ(d.height, r.h);
    EXPECT_EQ(std::string(d.image), r.image);
    EXPECT_EQ(std::string(d.icon), r.icon);
    EXPECT_EQ(std::string(d.label), r.label);
    EXPECT_EQ(d.labelColour, r.colour);
    EXPECT_EQ(d.fontSelector, r.font);
    EXPECT_EQ(d.firstPage, r.first);
    EXPECT_EQ(d.lastPage, r.last);
  }
}

TEST(WidgetTable, ResourceNamesAndKeysAreExact) {
  const std::pair<const char*, const char*> names[] = {
      {kBackgroundPath, "/data/images/updater.png"},
      {kFontPath, "/data/fonts/RavidIzuz.ttf"},
      {kOptionsOnImagePath, "/data/images/options_on.png"},
      {kSoundOffImagePath, "/data/images/sound_off.png"},
      {kMusicPath, "/data/sounds/music.mp3"},
      {kClickPath, "/data/sounds/click.wav"},
      {kEnableAudioKey, "enableAudio"},
      {kEnableMusicSoundKey, "enableMusicSound"},
      {kEnableUISoundKey, "enableUISound"},
      {kMusicSoundVolumeKey, "musicSoundVolume"},
      {kUiSoundVolumeKey, "uiSoundVolume"},
      {kSignUpPage, "/sign_up.php"},
      {kIndexPage, "/index.php"},
      {kVersionLine, "KVLauncher Version 0.27"},
  };
  for (const auto& [actual, expected] : names) EXPECT_EQ(std::string(actual), expected);
}

TEST(WidgetTable, FontSlotsAndVisibility) {
  EXPECT_EQ(fontSlot(0), -1);
  EXPECT_EQ(fontSlot(1), 0);
  EXPECT_EQ(fontSlot(4), 3);
  EXPECT_EQ(fontSlot(5), -1);
  EXPECT_EQ(fontSlot(-1), -1);
  const auto& t = widgetTable();
  EXPECT_TRUE(isVisibleOn(t[kPlayWidget], ScreenPage::MainScreen));
  EXPECT_FALSE(isVisibleOn(t[kPlayWidget], ScreenPage::SystemTab));
  EXPECT_FALSE(isVisibleOn(t[kSystemTabWidget], ScreenPage::MainScreen));
  EXPECT_TRUE(isVisibleOn(t[kControlSettingsTabWidget], ScreenPage::ControlSettingsTab));
  EXPECT_TRUE(isVisibleOn(t[kCloseWidget], ScreenPage::AudioTab));
}

TEST(LabelColour, PerStateAndChannel) {
  struct Case {
    platform::Argb c;
    WidgetState s;
    platform::Argb expected;
  };
  const Case cases[] = {
      {0xFF000000, WidgetState::Hover, 0xFF282828},
      {0xFF000000, WidgetState::Pressed, 0xFF141414},
      {0xFF000000, WidgetState::Disabled, 0xFF000000},
      {0xFF000000, WidgetState::Normal, 0xFF000000},
      {0xFFFFFFFF, WidgetState::Hover, 0xFFFFFFFF},
      {0xFFFFFFFF, WidgetState::Pressed, 0xFFFFFFFF},
      {0xFFFFFFFF, WidgetState::Disabled, 0xFFCCCCCC},
      {0x80102030, WidgetState::Normal, 0x80102030},  // alpha kept only in Normal
      {0x80102030, WidgetState::Hover, 0xFF384858},
      {0x80F0E6DC, WidgetState::Hover, 0xFFFFFFFF},  // clamped at 255
      {0x80F0E6DC, WidgetState::Pressed, 0xFFFFFAF0},
      {0x80FF0A05, WidgetState::Disabled, 0xFFCC0804},  // 10/1.25 = 8, 5/1.25 = 4
  };
  for (const Case& c : cases) {
    EXPECT_EQ(labelColourFor(c.c, c.s), c.expected) << std::hex << c.c << " state " << int(c.s);
  }
}

}  // namespace
}  // namespace kv::ui
