#include "ui/options_panel.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/ui_test_helpers.h"
#include "ui/main_screen.h"
#include "ui/ui_resources.h"

namespace kv::ui {
namespace {

using platform::fake::DrawCall;
using platform::fake::FakeCanvas;
using platform::fake::FakePlatform;

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeServerArt(dir / "eu");
    createUiResources(ui, fake.graphics, fake.audio, fake.window, dir / "eu");
    bindings.system.switchServer = [this](int s) { log.push_back("switch " + std::to_string(s)); };
    bindings.system.toggleLocalConfig = [this] { log.push_back("local"); };
    bindings.system.exportConfiguration = [this] { log.push_back("export"); };
    bindings.system.importConfiguration = [this] { log.push_back("import"); };
    bindings.system.resetConfiguration = [this] { log.push_back("reset"); };
    bindings.audio.toggleClickSound = [this] { log.push_back("click"); };
    bindings.audio.toggleMusic = [this] { log.push_back("music"); };
    bindings.audio.toggleMasterSound = [this] { log.push_back("master"); };
    bindings.audio.setClickVolume = [this](int v) { log.push_back("clickvol " + std::to_string(v)); };
    bindings.audio.setMusicVolume = [this](int v) { log.push_back("musicvol " + std::to_string(v)); };
    bindings.configPath = [] { return std::string("/opt/kv/eu/config"); };
    bindings.isLocalConfig = [this] {
      ++localQueries;
      return true;
    };
    fake.window.clearInvalidations();
  }
  kv::test::TempDir dir;
  FakePlatform fake;
  UiState ui;
  PanelBindings bindings;
  std::vector<std::string> log;
  int localQueries = 0;
};

struct ControlRow {
  ControlKind kind;
  int l, t, r, b;
  std::string text;  // label, or the text of a text line
};

void expectList(const std::vector<OptionControl>& list, const std::vector<ControlRow>& rows) {
  ASSERT_EQ(list.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const OptionControl& c = list[i];
    EXPECT_EQ(c.kind, rows[i].kind);
    EXPECT_EQ(c.left, rows[i].l);
    EXPECT_EQ(c.top, rows[i].t);
    EXPECT_EQ(c.right, rows[i].r);
    EXPECT_EQ(c.bottom, rows[i].b);
    if (c.kind == ControlKind::TextLine) {
      EXPECT_EQ(std::get<std::string>(c.value), rows[i].text);
    } else {
      EXPECT_EQ(c.label, rows[i].text);
    }
  }
}

TEST_F(PanelTest, SystemTabControlsAreExact) {
  buildSystemTab(ui, bindings);
  expectList(ui.systemControls,
             {{ControlKind::TextLine, 199, 82, 599, 116, "Game server you are connecting to:"},
              {ControlKind::ChoiceButton, 199, 103, 259, 127, "US"},
              {ControlKind::ChoiceButton, 269, 103, 329, 127, "EU"},
              {ControlKind::Checkbox, 199, 139, 239, 173, "Use local config for each server"},
              {ControlKind::TextLine, 199, 160, 599, 194,
               "Note: Local config will not be shared across servers."},
              {ControlKind::TextLine, 199, 196, 699, 230, "/opt/kv/eu/config"},
              {ControlKind::ChoiceButton, 199, 217, 249, 241, "Export"},
              {ControlKind::ChoiceButton, 254, 217, 304, 241, "Import"},
              {ControlKind::ChoiceButton, 309, 217, 359, 241, "Delete"}});
  EXPECT_EQ(std::get<bool*>(ui.systemControls[3].value), &ui.localConfigFlag);
  EXPECT_TRUE(ui.localConfigFlag);
  // The flag is computed only the first time in a process.
  buildSystemTab(ui, bindings);
  EXPECT_EQ(localQueries, 1);
}

TEST_F(PanelTest, AudioTabControlsAreExact) {
  buildAudioTab(ui, bindings.audio);
  expectList(ui.audioControls, {{ControlKind::Checkbox, 199, 88, 219, 108, "Enable UI sound"},
                                {ControlKind::Slider, 199, 128, 444, 136, "UI volume"},
                                {ControlKind::Checkbox, 199, 148, 219, 168, "Enable music sound"},
                                {ControlKind::Slider, 199, 188, 444, 196, "Music volume"},
                                {ControlKind::Checkbox, 199, 208, 219, 228, "Enable sound"}});
  EXPECT_EQ(ui.audioControls[1].minValue, 0);
  EXPECT_EQ(ui.audioControls[3].minValue, 1);
  EXPECT_EQ(ui.audioControls[3].maxValue, 100);
  EXPECT_EQ(std::get<int*>(ui.audioControls[3].value), &ui.audio.musicSoundVolume);
  EXPECT_EQ(std::get<bool*>(ui.audioControls[4].value), &ui.audio.enableAudio);
}

TEST_F(PanelTest, GrownHitRectangleEdges) {
  buildAudioTab(ui, bindings.audio);
  const OptionControl& box = ui.audioControls[0];  // 199, 88, 219, 108
  struct Case {
    int x, y;
    bool hit;
  };
  const Case cases[] = {{193, 95, true},  {192, 95, false}, {224, 95, true}, {225, 95, false},
                        {205, 82, true},  {205, 81, false}, {205, 113, true}, {205, 114, false},
                        {193, 82, true},  {224, 113, true}};
  for (const Case& c : cases) EXPECT_EQ(controlHit(box, c.x, c.y), c.hit) << c.x << "," << c.y;
}

TEST_F(PanelTest, PressOnCheckboxEdgesAndLabel) {
  ui.page = ScreenPage::SystemTab;
  buildSystemTab(ui, bindings);
  struct Case {
    int x, y;
    bool taken;
  };
  // The local-config checkbox spans 199..239 (+6): its label beyond 245 is dead.
  const Case cases[] = {{193, 150, true}, {192, 150, false}, {229, 150, true},
                        {244, 150, true}, {245, 150, false}, {300, 150, false}};
  for (const Case& c : cases) {
    log.clear();
    EXPECT_EQ(pressControls(ui, c.x, c.y, fake.window), c.taken) << c.x;
    EXPECT_EQ(log.size(), c.taken ? 1u : 0u);
    if (c.taken) {
      EXPECT_EQ(log[0], "local");
    }
  }
}

TEST_F(PanelTest, SystemButtonsRunTheirActions) {
  ui.page = ScreenPage::SystemTab;
  buildSystemTab(ui, bindings);
  ASSERT_TRUE(pressControls(ui, 210, 110, fake.window));
  ASSERT_TRUE(pressControls(ui, 300, 110, fake.window));
  ASSERT_TRUE(pressControls(ui, 210, 225, fake.window));
  ASSERT_TRUE(pressControls(ui, 280, 225, fake.window));
  ASSERT_TRUE(pressControls(ui, 330, 225, fake.window));
  EXPECT_EQ(log, (std::vector<std::string>{"switch 2", "switch 1", "export", "import", "reset"}));
  // Text lines do not react; the walk goes on and nothing takes the press.
  EXPECT_FALSE(pressControls(ui, 400, 90, fake.window));
}

TEST_F(PanelTest, ActionThatRebuildsTheListIsSafe) {
  ui.page = ScreenPage::SystemTab;
  bindings.system.switchServer = [this](int) {
    for (int i = 0; i < 20; ++i) refreshConfigPathLine(ui, "/x/us/config", false);
    buildSystemTab(ui, bindings);
  };
  buildSystemTab(ui, bindings);
  EXPECT_TRUE(pressControls(ui, 210, 110, fake.window));
  EXPECT_EQ(ui.systemControls.size(), 9u);
}

TEST_F(PanelTest, ChoiceButtonsDoNotReactOnTheAudioTab) {
  ui.page = ScreenPage::AudioTab;
  ui.audioControls.push_back(OptionControl{});
  ui.audioControls[0].kind = ControlKind::ChoiceButton;
  ui.audioControls[0].left = 10;
  ui.audioControls[0].top = 10;
  ui.audioControls[0].right = 50;
  ui.audioControls[0].bottom = 50;
  ui.audioControls[0].onActivate = [this] { log.push_back("choice"); };
  EXPECT_FALSE(pressControls(ui, 20, 20, fake.window));
  EXPECT_TRUE(log.empty());
  ui.page = ScreenPage::ControlSettingsTab;
  EXPECT_FALSE(pressControls(ui, 20, 20, fake.window));
}

TEST_F(PanelTest, SliderValuesAtAndBeyondBothEnds) {
  ui.page = ScreenPage::AudioTab;
  buildAudioTab(ui, bindings.audio);
  struct Case {
    int control, x, expected;
  };
  const Case cases[] = {
      {1, 199, 0},    {1, -500, 0},  {1, 444, 100}, {1, 2000, 100}, {1, 321, 49},
      {1, 322, 50},   {1, 201, 0},   {1, 202, 1},   {3, 199, 1},    {3, -32768, 1},
      {3, 444, 100},  {3, 32767, 100}, {3, 200, 1}, {3, 322, 50},   {3, 443, 99},
  };
  for (const Case& c : cases) {
    OptionControl& s = ui.audioControls[c.control];
    updateSlider(s, c.x);
    EXPECT_EQ(*std::get<int*>(s.value), c.expected) << "control " << c.control << " x " << c.x;
  }
}

TEST_F(PanelTest, SliderCallsOnChangeEvenWhenUnchanged) {
  ui.page = ScreenPage::AudioTab;
  buildAudioTab(ui, bindings.audio);
  ASSERT_TRUE(pressControls(ui, 100 + 199, 130, fake.window));
  EXPECT_TRUE(ui.sliderDragging);
  EXPECT_TRUE(fake.window.captured);
  OptionControl* s = activeSliderControl(ui);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->label, "UI volume");
  updateSlider(*s, 299);
  EXPECT_EQ(log, (std::vector<std::string>{"clickvol 40", "clickvol 40"}));
}

TEST_F(PanelTest, EmptyRangeSliderDoesNothing) {
  OptionControl s;
  s.kind = ControlKind::Slider;
  int value = 7;
  s.value = &value;
  s.left = 10;
  s.right = 10;
  s.onChange = [this](int) { log.push_back("changed"); };
  updateSlider(s, 50);
  s.right = 100;
  s.minValue = 5;
  s.maxValue = 5;
  updateSlider(s, 50);
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(log.empty());
}

TEST_F(PanelTest, RefreshConfigPathLineReplacesTheLineAtTheEnd) {
  buildSystemTab(ui, bindings);
  refreshConfigPathLine(ui, "/home/p/vandrel", false);
  EXPECT_FALSE(ui.localConfigFlag);
  ASSERT_EQ(ui.systemControls.size(), 9u);
  const OptionControl& last = ui.systemControls.back();
  EXPECT_EQ(last.kind, ControlKind::TextLine);
  EXPECT_EQ(last.left, 199);
  EXPECT_EQ(last.top, 196);
  EXPECT_EQ(last.right, 699);
  EXPECT_EQ(last.bottom, 230);
  EXPECT_EQ(std::get<std::string>(last.value), "/home/p/vandrel");
  int lines = 0;
  for (const auto& c : ui.systemControls) lines += c.top == 196 ? 1 : 0;
  EXPECT_EQ(lines, 1);
  EXPECT_EQ(ui.systemControls[5].label, "Export");
}

TEST_F(PanelTest, TabNavigation) {
  toggleOptionsPanel(ui, fake.graphics, fake.window, bindings);
  EXPECT_EQ(ui.page, ScreenPage::SystemTab);
  EXPECT_EQ(ui.widgets[kOptionsWidget].imagePath, dir / "eu/data/images/options_on.png");
  EXPECT_EQ(ui.systemControls.size(), 9u);
  EXPECT_EQ(fake.window.fullInvalidations(), 1);

  showSystemTab(ui, fake.window, bindings);  // already there: nothing
  EXPECT_EQ(fake.window.fullInvalidations(), 1);

  showAudioTab(ui, fake.window, bindings);
  EXPECT_EQ(ui.page, ScreenPage::AudioTab);
  EXPECT_TRUE(ui.systemControls.empty());
  EXPECT_EQ(ui.audioControls.size(), 5u);
  EXPECT_EQ(fake.window.fullInvalidations(), 2);

  showControlSettingsTab(ui, fake.window);
  showControlSettingsTab(ui, fake.window);  // repaints in both cases
  EXPECT_EQ(ui.page, ScreenPage::ControlSettingsTab);
  EXPECT_TRUE(ui.audioControls.empty());
  EXPECT_EQ(fake.window.fullInvalidations(), 4);

  toggleOptionsPanel(ui, fake.graphics, fake.window, bindings);
  EXPECT_EQ(ui.page, ScreenPage::MainScreen);
  EXPECT_EQ(ui.widgets[kOptionsWidget].imagePath, dir / "eu/data/images/options.png");
  EXPECT_TRUE(ui.systemControls.empty());
  EXPECT_TRUE(ui.audioControls.empty());
}

std::vector<DrawCall> callsOfKind(const FakeCanvas& canvas, DrawCall::Kind kind) {
  std::vector<DrawCall> out;
  for (const auto& c : canvas.calls) {
    if (c.kind == kind) out.push_back(c);
  }
  return out;
}

// The texts drawn in the panel's content area (the tab buttons' labels left
// out).
std::vector<DrawCall> contentTexts(const FakeCanvas& canvas) {
  std::vector<DrawCall> out;
  for (const DrawCall& c : canvas.calls) {
    if (c.kind == DrawCall::Kind::Text && c.rect.x >= 175) out.push_back(c);
  }
  return out;
}

// The fills inside the content area, the three bands left out.
std::vector<DrawCall> contentFills(const FakeCanvas& canvas) {
  std::vector<DrawCall> out;
  for (const DrawCall& c : callsOfKind(canvas, DrawCall::Kind::Fill)) {
    if (c.rect.x >= 175 && c.rect.y > 48) out.push_back(c);
  }
  return out;
}

// On each page exactly its own tab is marked, over the tab's picture, in
// whatever state the tab's button is, and its label reads at 4.5 : 1 or
// better on the mark.
TEST_F(PanelTest, ShownTabIsMarkedWithAReadableLabel) {
  struct Case {
    ScreenPage page;
    int tab;
    const char* label;
  };
  const Case cases[] = {{ScreenPage::SystemTab, kSystemTabWidget, "System"},
                        {ScreenPage::AudioTab, kAudioTabWidget, "Audio"},
                        {ScreenPage::ControlSettingsTab, kControlSettingsTabWidget, "Control Settings"}};
  for (const Case& c : cases) {
    for (const WidgetState state : {WidgetState::Normal, WidgetState::Hover, WidgetState::Pressed}) {
      SCOPED_TRACE(c.label);
      ui.page = c.page;
      for (int tab : {kSystemTabWidget, kAudioTabWidget, kControlSettingsTabWidget}) {
        ui.widgets[static_cast<std::size_t>(tab)].state = state;
      }
      FakeCanvas canvas;
      paintOptionsPanel(ui, canvas, 1);
      const platform::Rect tab = ui.widgets[static_cast<std::size_t>(c.tab)].rect;
      // The last fill under the middle of each tab's label area, and the
      // position of the tab's picture, in drawing order.
      std::vector<std::size_t> pictures;
      std::vector<std::pair<std::size_t, DrawCall>> marks;
      for (std::size_t i = 0; i < canvas.calls.size(); ++i) {
        const DrawCall& call = canvas.calls[i];
        if (call.kind == DrawCall::Kind::Image && call.rect == tab) pictures.push_back(i);
        if (call.kind == DrawCall::Kind::Fill && call.rect.x < 172 && call.rect.y > 48 &&
            call.rect.contains(tab.x + tab.width / 2, tab.y + tab.height / 2)) {
          marks.emplace_back(i, call);
        }
      }
      ASSERT_EQ(marks.size(), 1u) << "only the shown tab is marked";
      ASSERT_FALSE(pictures.empty());
      EXPECT_GT(marks[0].first, pictures.back()) << "the mark lies over the picture";
      EXPECT_TRUE(marks[0].second.rect.contains(tab.x + 10, tab.y + 1));
      // The label drawn over the mark is the last text in the tab's box.
      const DrawCall* label = nullptr;
      for (std::size_t i = marks[0].first; i < canvas.calls.size(); ++i) {
        const DrawCall& call = canvas.calls[i];
        if (call.kind == DrawCall::Kind::Text && tab.contains(call.rect.x, call.rect.y)) label = &call;
      }
      ASSERT_NE(label, nullptr);
      EXPECT_EQ(label->text, c.label);
      EXPECT_GE(testing::contrastRatio(label->colour, marks[0].second.colour), 4.5);
    }
  }
}

TEST_F(PanelTest, PaintsBandsTitleAndSelectedServer) {
  ui.page = ScreenPage::SystemTab;
  buildSystemTab(ui, bindings);
  for (int server : {1, 2}) {
    SCOPED_TRACE(server);
    FakeCanvas canvas;
    paintOptionsPanel(ui, canvas, server);
    const auto fills = callsOfKind(canvas, DrawCall::Kind::Fill);
    ASSERT_GE(fills.size(), 3u);
    EXPECT_EQ(fills[0].rect, (platform::Rect{48, 48, 124, 228}));
    EXPECT_EQ(fills[0].colour, 0xFF000000u);
    EXPECT_EQ(fills[1].rect, (platform::Rect{172, 48, 3, 228}));
    EXPECT_EQ(fills[1].colour, 0xFFFF9800u);
    EXPECT_EQ(fills[2].rect, (platform::Rect{175, 48, 295, 228}));
    EXPECT_EQ(fills[2].colour, 0xFFFFFFFFu);
    // Past the shown tab's mark, the US button fill, then the EU button fill.
    const auto buttons = contentFills(canvas);
    ASSERT_GE(buttons.size(), 2u);
    const DrawCall& us = buttons[0];
    const DrawCall& eu = buttons[1];
    EXPECT_EQ(us.rect, (platform::Rect{199, 103, 60, 24}));
    EXPECT_EQ(us.colour, server == 2 ? 0xFFFFE5B4u : 0xFFF2F2F2u);
    EXPECT_EQ(eu.colour, server == 1 ? 0xFFFFE5B4u : 0xFFF2F2F2u);
    const auto strokes = callsOfKind(canvas, DrawCall::Kind::Stroke);
    EXPECT_EQ(strokes[0].colour, server == 2 ? 0xFFFFA500u : 0xFF888888u);
    const auto texts = contentTexts(canvas);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0].text, "System");
    EXPECT_EQ(texts[0].rect.x, 180);
    EXPECT_EQ(texts[0].rect.y, 58);
    EXPECT_EQ(texts[0].fontPoints, 14.0f);
    // The tab buttons are drawn again over the panel, the Play button not.
    bool tabDrawn = false, playDrawn = false;
    for (const auto& c : callsOfKind(canvas, DrawCall::Kind::Image)) {
      tabDrawn = tabDrawn || c.rect == platform::Rect{53, 55, 115, 29};
      playDrawn = playDrawn || c.rect == platform::Rect{317, 226, 188, 71};
    }
    EXPECT_TRUE(tabDrawn);
    EXPECT_FALSE(playDrawn);
  }
}

TEST_F(PanelTest, PaintsCheckboxAndSliderGeometry) {
  ui.page = ScreenPage::AudioTab;
  ui.audio.enableUISound = true;
  ui.audio.enableMusicSound = false;
  ui.audio.uiSoundVolume = 0;
  ui.audio.musicSoundVolume = 1;
  buildAudioTab(ui, bindings.audio);
  FakeCanvas canvas;
  paintOptionsPanel(ui, canvas, 1);
  const auto strokes = callsOfKind(canvas, DrawCall::Kind::Stroke);
  ASSERT_EQ(strokes.size(), 3u);
  EXPECT_EQ(strokes[0].rect, (platform::Rect{199, 88, 20, 20}));
  const auto fills = contentFills(canvas);
  // Only the checked boxes: UI sound and Enable sound.
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].rect, (platform::Rect{203, 92, 12, 12}));
  EXPECT_EQ(fills[1].rect, (platform::Rect{203, 212, 12, 12}));
  const auto ellipses = callsOfKind(canvas, DrawCall::Kind::Ellipse);
  ASSERT_EQ(ellipses.size(), 2u);
  EXPECT_EQ(ellipses[0].rect, (platform::Rect{195, 124, 8, 8}));  // UI volume 0: 4 left
  EXPECT_EQ(ellipses[1].rect, (platform::Rect{197, 184, 8, 8}));  // music 1: trunc(2.45) - 4
  const auto lines = callsOfKind(canvas, DrawCall::Kind::Line);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rect, (platform::Rect{199, 128, 245, 0}));
  std::vector<std::string> texts;
  for (const auto& c : contentTexts(canvas)) texts.push_back(c.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Audio", "Enable UI sound", "UI volume: 0",
                                             "Enable music sound", "Music volume: 1",
                                             "Enable sound"}));
}

TEST_F(PanelTest, KnobOfAnOutOfRangeVolumeStaysComputable) {
  ui.page = ScreenPage::AudioTab;
  struct Case {
    int value;
    int knobX;
  };
  const Case cases[] = {{50, 199 + 122 - 4}, {150, 199 + 367 - 4}, {-20, 199 - 49 - 4},
                        {2147483647, 199 + 100000 - 4}, {-2147483647 - 1, 199 - 100000 - 4}};
  for (const Case& c : cases) {
    ui.audioControls.clear();
    ui.audio.uiSoundVolume = c.value;
    buildAudioTab(ui, bindings.audio);
    FakeCanvas canvas;
    paintOptionsPanel(ui, canvas, 1);
    const auto ellipses = callsOfKind(canvas, DrawCall::Kind::Ellipse);
    ASSERT_EQ(ellipses.size(), 2u);
    EXPECT_EQ(ellipses[0].rect.x, c.knobX) << c.value;
  }
}

TEST_F(PanelTest, ControlSettingsTabShowsOnlyItsTitle) {
  ui.page = ScreenPage::ControlSettingsTab;
  FakeCanvas canvas;
  paintOptionsPanel(ui, canvas, 1);
  const auto texts = contentTexts(canvas);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].text, "Control Settings");
  EXPECT_TRUE(callsOfKind(canvas, DrawCall::Kind::Stroke).empty());
}

// Every text of the panel lies in a box inside the panel and fits it; a long
// folder keeps its end, other long lines their beginning.
TEST_F(PanelTest, TextsStayInsideThePanel) {
  bindings.configPath = [] { return "/home/" + std::string(80, 'p') + "/.vandrel/eu/config"; };
  for (const ScreenPage page : {ScreenPage::SystemTab, ScreenPage::AudioTab}) {
    ui.page = page;
    page == ScreenPage::SystemTab ? buildSystemTab(ui, bindings) : buildAudioTab(ui, bindings.audio);
    FakeCanvas canvas;
    paintOptionsPanel(ui, canvas, 1);
    EXPECT_TRUE(callsOfKind(canvas, DrawCall::Kind::TextAt).empty());
    int shortenedFolders = 0;
    for (const DrawCall& t : contentTexts(canvas)) {
      SCOPED_TRACE(t.text);
      EXPECT_LE(t.rect.x + t.rect.width, 470);
      // The note wraps in its two-line box; every other line fits its box,
      // a folder keeping its end.
      const bool note = t.rect.height > 24;
      EXPECT_EQ(note, t.rect == (platform::Rect{199, 160, 267, 34}));
      if (!note) {
        EXPECT_LE(canvas.textWidth(t.text, platform::fake::FakeFont(10)), t.rect.width);
      }
      shortenedFolders += t.text.rfind("...", 0) == 0 && t.text.ends_with("/.vandrel/eu/config");
    }
    EXPECT_EQ(shortenedFolders, page == ScreenPage::SystemTab ? 1 : 0);
  }
}

}  // namespace
}  // namespace kv::ui
