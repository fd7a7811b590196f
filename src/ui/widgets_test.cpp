#include "ui/widgets.h"

#include <gtest/gtest.h>

#include "support/ui_test_helpers.h"
#include "ui/ui_resources.h"

namespace kv::ui {
namespace {

using platform::fake::DrawCall;
using platform::fake::FakeCanvas;
using platform::fake::FakePlatform;

class WidgetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeServerArt(dir / "eu");
    createUiResources(ui, fake.graphics, fake.audio, fake.window, dir / "eu");
    ui.widgets[kPlayWidget].state = WidgetState::Normal;
  }
  kv::test::TempDir dir;
  FakePlatform fake;
  UiState ui;
};

TEST_F(WidgetsTest, HitTestEdges) {
  struct Case {
    ScreenPage page;
    int x, y;
    int expected;
  };
  const Case cases[] = {
      {ScreenPage::MainScreen, 474, 9, kCloseWidget},    // left/top inclusive
      {ScreenPage::MainScreen, 505, 40, kCloseWidget},   // last pixel
      {ScreenPage::MainScreen, 506, 20, -1},             // x = left + width
      {ScreenPage::MainScreen, 480, 41, -1},             // y = top + height
      {ScreenPage::MainScreen, 473, 20, kMinimizeWidget},  // minimize reaches 474 exclusive
      {ScreenPage::MainScreen, 43, 20, kOptionsWidget},  // options and sound overlap at 43:
      {ScreenPage::MainScreen, 44, 20, kSoundWidget},    // the earlier widget wins
      {ScreenPage::MainScreen, 317, 226, kPlayWidget},
      {ScreenPage::MainScreen, 504, 296, kPlayWidget},
      {ScreenPage::MainScreen, 505, 296, -1},
      {ScreenPage::MainScreen, 504, 297, -1},
      {ScreenPage::MainScreen, 46, 226, kSignUpWidget},
      {ScreenPage::MainScreen, 60, 60, -1},              // tab widgets hidden on the main screen
      {ScreenPage::SystemTab, 60, 60, kSystemTabWidget},
      {ScreenPage::SystemTab, 60, 84, -1},               // 55 + 29 = 84 is outside System...
      {ScreenPage::SystemTab, 60, 85, kAudioTabWidget},  // ...and inside Audio
      {ScreenPage::ControlSettingsTab, 167, 143, kControlSettingsTabWidget},
      {ScreenPage::ControlSettingsTab, 168, 143, -1},
      {ScreenPage::AudioTab, 320, 230, -1},              // Play hidden with the panel open
      {ScreenPage::AudioTab, 480, 20, kCloseWidget},
  };
  for (const Case& c : cases) {
    ui.page = c.page;
    EXPECT_EQ(hitTestWidgets(ui, c.x, c.y), c.expected)
        << "page " << int(c.page) << " at " << c.x << "," << c.y;
  }
}

TEST_F(WidgetsTest, DisabledWidgetIsNotHit) {
  ui.widgets[kPlayWidget].state = WidgetState::Disabled;
  EXPECT_EQ(hitTestWidgets(ui, 400, 250), -1);
  ui.widgets[kPlayWidget].state = WidgetState::Hover;
  EXPECT_EQ(hitTestWidgets(ui, 400, 250), kPlayWidget);
}

TEST_F(WidgetsTest, DrawsTheStateFrameIconAndLabelColour) {
  struct Case {
    WidgetState state;
    platform::Argb colour;
  };
  const Case cases[] = {{WidgetState::Disabled, 0xFF000000},
                        {WidgetState::Normal, 0xFF000000},
                        {WidgetState::Hover, 0xFF282828},
                        {WidgetState::Pressed, 0xFF141414}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.state));
    Widget& signUp = ui.widgets[kSignUpWidget];
    signUp.state = c.state;
    FakeCanvas canvas;
    drawWidget(signUp, canvas);
    ASSERT_EQ(canvas.calls.size(), 3u);
    const int k = int(c.state);
    EXPECT_EQ(canvas.calls[0].kind, DrawCall::Kind::Image);
    EXPECT_EQ(canvas.calls[0].source, (platform::Rect{115 * k, 0, 115, 29}));
    EXPECT_EQ(canvas.calls[0].rect, (platform::Rect{46, 226, 115, 29}));
    EXPECT_EQ(canvas.calls[0].text, dir / "eu/data/images/button.png");
    EXPECT_EQ(canvas.calls[1].source, (platform::Rect{24 * k, 0, 24, 24}));
    EXPECT_EQ(canvas.calls[1].rect, (platform::Rect{54, 228, 24, 24}));
    EXPECT_EQ(canvas.calls[1].text, dir / "eu/data/images/icon_sign_up.png");
    EXPECT_EQ(canvas.calls[2].kind, DrawCall::Kind::Text);
    EXPECT_EQ(canvas.calls[2].text, "Sign up");
    EXPECT_EQ(canvas.calls[2].colour, c.colour);
    EXPECT_EQ(canvas.calls[2].fontPoints, 11.0f);
    EXPECT_EQ(canvas.calls[2].rect, (platform::Rect{46, 226, 115, 29}));
    EXPECT_EQ(canvas.calls[2].h, platform::HAlign::Centre);
    EXPECT_EQ(canvas.calls[2].v, platform::VAlign::Centre);
  }
}

// A label stays on one line inside its widget and off the icon (the fake
// font: 6 pixels a character; the icon ends at 46 + 8 + 24 + 3 = 81).
TEST_F(WidgetsTest, LabelKeepsClearOfTheIconAndInsideTheWidget) {
  struct Case {
    const char* label;
    std::string drawn;
    platform::Rect box;
  };
  const Case cases[] = {
      {"Sign up", "Sign up", {46, 226, 115, 29}},                     // centred from 82
      {"Sign up now", "Sign up now", {81, 226, 80, 29}},              // 66 wide: from 70
      {"Sign up for the game today", "Sign up fo...", {81, 226, 80, 29}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Widget& signUp = ui.widgets[kSignUpWidget];
    signUp.label = c.label;
    FakeCanvas canvas;
    drawWidget(signUp, canvas);
    ASSERT_EQ(canvas.calls.size(), 3u);
    EXPECT_EQ(canvas.calls[2].text, c.drawn);
    EXPECT_EQ(canvas.calls[2].rect, c.box);
  }
}

TEST_F(WidgetsTest, PlayDisabledLabelIsGrey) {
  Widget& play = ui.widgets[kPlayWidget];
  play.state = WidgetState::Disabled;
  FakeCanvas canvas;
  drawWidget(play, canvas);
  ASSERT_EQ(canvas.calls.size(), 2u);
  EXPECT_EQ(canvas.calls[0].source, (platform::Rect{0, 0, 188, 71}));
  EXPECT_EQ(canvas.calls[1].colour, 0xFFCCCCCCu);
  EXPECT_EQ(canvas.calls[1].fontPoints, 14.0f);
}

TEST_F(WidgetsTest, ReplaceWidgetImageRemembersPath) {
  replaceWidgetImage(ui.widgets[kSoundWidget], fake.graphics, dir / "eu/data/images/sound_off.png");
  EXPECT_EQ(ui.widgets[kSoundWidget].imagePath, dir / "eu/data/images/sound_off.png");
  EXPECT_TRUE(ui.widgets[kSoundWidget].image->ok());
  replaceWidgetImage(ui.widgets[kSoundWidget], fake.graphics, dir / "eu/nothing.png");
  ASSERT_TRUE(ui.widgets[kSoundWidget].image);
  EXPECT_FALSE(ui.widgets[kSoundWidget].image->ok());
}

}  // namespace
}  // namespace kv::ui
