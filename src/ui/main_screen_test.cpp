#include "ui/main_screen.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/launcher_version.h"
#include "support/ui_test_helpers.h"
#include "ui/ui_resources.h"

namespace kv::ui {
namespace {

using platform::fake::DrawCall;
using platform::fake::FakeCanvas;
using platform::fake::FakePlatform;

class MainScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeServerArt(dir / "eu");
    createUiResources(ui, fake.graphics, fake.audio, fake.window, dir / "eu");
  }
  std::vector<DrawCall> paint(const StatusView& view) {
    FakeCanvas canvas;
    paintMainScreen(ui, view, canvas);
    return canvas.calls;
  }
  kv::test::TempDir dir;
  FakePlatform fake;
  UiState ui;
};

TEST(ProgressFill, WidthIsTruncatedAndKeptInTheTrack) {
  struct Case {
    float progress;
    int width;
  };
  const Case cases[] = {{0.0f, 0},    {0.5f, 147},  {1.0f, 294},   {0.999f, 293},
                        {0.0034f, 0}, {0.0035f, 1}, {-0.5f, 0},    {7.0f, 294},
                        {std::numeric_limits<float>::quiet_NaN(), 0},
                        {std::numeric_limits<float>::infinity(), 294}};
  for (const Case& c : cases) EXPECT_EQ(progressFillWidth(c.progress), c.width) << c.progress;
}

TEST_F(MainScreenTest, PaintsBackgroundWidgetsBarStatusAndBottomLine) {
  const auto calls = paint({1, 0.5f, "Connecting..."});
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0].kind, DrawCall::Kind::Image);
  EXPECT_EQ(calls[0].text, dir / "eu/data/images/updater.png");
  EXPECT_EQ(calls[0].rect, (platform::Rect{0, 0, 518, 324}));

  // Seven widgets of the main screen (Play, Sign up and Website with their
  // icons), none of the tab buttons.
  int images = 0;
  for (const auto& c : calls) images += c.kind == DrawCall::Kind::Image ? 1 : 0;
  EXPECT_EQ(images, 1 + 7 + 2);

  std::vector<DrawCall> fills, texts;
  for (const auto& c : calls) {
    if (c.kind == DrawCall::Kind::Fill) fills.push_back(c);
    if (c.kind == DrawCall::Kind::Text) texts.push_back(c);
  }
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].rect, (platform::Rect{15, 261, 294, 15}));
  EXPECT_EQ(fills[0].colour, 0x4B4B4B4Bu);
  EXPECT_EQ(fills[1].rect, (platform::Rect{15, 261, 147, 15}));
  EXPECT_EQ(fills[1].colour, 0xCCFFA500u);

  // Widget labels first (Play, Sign up, Website), then status and bottom line.
  ASSERT_EQ(texts.size(), 3u + 4u);
  const DrawCall& status = texts[3];
  EXPECT_EQ(status.text, "Connecting...");
  EXPECT_EQ(status.rect, (platform::Rect{15, 281, 294, 20}));
  EXPECT_EQ(status.colour, 0xFF000000u);
  EXPECT_EQ(status.h, platform::HAlign::Centre);
  EXPECT_EQ(status.v, platform::VAlign::Top);
  EXPECT_EQ(status.fontPoints, 10.0f);
  // Renderer name at the left, credit centred, version at the right, each
  // in a box of its own width (the fake font: 6 pixels a character).
  const struct {
    std::string text;
    platform::Rect box;
  } bottom[] = {{"DirectX", {5, 302, 42, 20}},
                {"Made for Vandrel", {5 + (508 - 96) / 2, 302, 96, 20}},
                {kVersionLine, {513 - 138, 302, 138, 20}}};
  for (int i = 0; i < 3; ++i) {
    const DrawCall& t = texts[4 + i];
    EXPECT_EQ(t.text, bottom[i].text);
    EXPECT_EQ(t.h, platform::HAlign::Left);
    EXPECT_EQ(t.v, platform::VAlign::Top);
    EXPECT_EQ(t.rect, bottom[i].box);
    EXPECT_EQ(t.colour, 0xFF787878u);
  }
}

TEST_F(MainScreenTest, InvalidServerPaintsTrackOnly) {
  const auto calls = paint({0, 0.7f, "ignored"});
  int fills = 0;
  for (const auto& c : calls) {
    fills += c.kind == DrawCall::Kind::Fill ? 1 : 0;
    EXPECT_NE(c.text, "ignored");
  }
  EXPECT_EQ(fills, 1);
}

TEST_F(MainScreenTest, MissingBackgroundAndFontStillPaintTheBar) {
  releaseUiResources(ui);
  const auto calls = paint({2, 1.0f, "Client is ready to play"});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].rect.width, 294);
}

TEST_F(MainScreenTest, PanelIsPaintedOverTheBar) {
  ui.page = ScreenPage::ControlSettingsTab;
  const auto calls = paint({1, 1.0f, "x"});
  std::size_t fillIndex = 0, bandIndex = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].kind != DrawCall::Kind::Fill) continue;
    if (calls[i].colour == 0xCCFFA500u) fillIndex = i;
    if (calls[i].rect == platform::Rect{48, 48, 124, 228}) bandIndex = i;
  }
  EXPECT_GT(fillIndex, 0u);
  EXPECT_GT(bandIndex, fillIndex);
}

TEST(WebPages, AddressPerServerAndPage) {
  EXPECT_EQ(webPageUrl("eu", "vandrel.example.com", WebPage::SignUp),
            "https://eu.vandrel.example.com/sign_up.php");
  EXPECT_EQ(webPageUrl("us", "127.0.0.1:1", WebPage::Website), "https://us.127.0.0.1:1/index.php");
  platform::fake::FakeShell shell;
  openWebPage(shell, "eu", "site.test", WebPage::Website);
  ASSERT_EQ(shell.urls.size(), 1u);
  EXPECT_EQ(shell.urls[0], "https://eu.site.test/index.php");
}

}  // namespace
}  // namespace kv::ui
