#pragma once

#include <string>

#include "platform/canvas.h"
#include "platform/shell.h"
#include "ui/ui_state.h"

namespace kv::ui {

// The current server's line under the progress bar, as painting reads it.
struct StatusView {
  int currentServer = 0;  // 1 or 2; anything else paints neither fill nor text
  float progress = 0.0f;  // 0..1
  std::string text;
};

// Layout of the main screen, in client pixels.
inline constexpr platform::Rect kClientRect{0, 0, 518, 324};
inline constexpr platform::Rect kProgressTrack{15, 261, 294, 15};
inline constexpr platform::Rect kStatusTextBox{15, 281, 294, 20};
inline constexpr platform::Rect kBottomLineBox{5, 302, 508, 20};
inline constexpr platform::Argb kTrackColour = 0x4B4B4B4B;
inline constexpr platform::Argb kFillColour = 0xCCFFA500;
inline constexpr platform::Argb kStatusColour = 0xFF000000;
inline constexpr platform::Argb kBottomLineColour = 0xFF787878;

// Width in pixels of the progress fill: 294 x progress truncated, kept within
// the track (a value outside 0..1, or not a number, never paints outside it).
[[nodiscard]] int progressFillWidth(float progress);

// Paints one whole frame: background stretched to 518 x 324, the widgets of
// the page, the progress track and fill, the status line (on one line, see
// fitStatusLine), the bottom line (laid out by layoutBottomLine: credit
// centred, version right, renderer name left, none over another) and, on the
// panel's pages, the options panel. The canvas starts black. Main thread.
void paintMainScreen(const UiState& ui, const StatusView& status, platform::Canvas& canvas);

// The two web pages of a server.
enum class WebPage { SignUp, Website };

// "https://" + server folder + "." + site host + "/sign_up.php" or
// "/index.php".
[[nodiscard]] std::string webPageUrl(const std::string& serverFolder, const std::string& siteHost,
                                     WebPage page);

// Opens the page in the browser, detached; the outcome is ignored.
void openWebPage(platform::Shell& shell, const std::string& serverFolder,
                 const std::string& siteHost, WebPage page);

}  // namespace kv::ui
