#pragma once

#include <functional>
#include <string>

#include "platform/geometry.h"

namespace kv::ui {

// Lays single-line texts out so that they never leave their boxes, whatever
// the font and the text. Widths come from a measure (pixels of a one-line
// text in the font in use), so the rules hold for any font. Pure functions;
// any thread.

// The width in pixels of text drawn on one line.
using TextMeasure = std::function<int(const std::string&)>;

// What a shortened text ends with.
inline constexpr const char* kEllipsis = "...";

// Which part of a shortened text stays.
enum class FitSide { Beginning, End };

// text when it fits width; otherwise its longest beginning followed by "..."
// (or with keep End, "..." followed by its longest ending) that fits, cut
// between whole UTF-8 characters, the spaces next to the ellipsis dropped;
// "" when not even "..." fits.
[[nodiscard]] std::string fitText(const std::string& text, int width, const TextMeasure& measure,
                                  FitSide keep = FitSide::Beginning);

// The status line shortened to width. A name gives way first: in a text
// that ends in a bracketed part ("Downloading: NAME (25%, 4159 KB/s)") the
// name between the words up to ": " and that part; in a sentence with a
// bracketed path inside ("Connection failed (PATH) after 3 attempts") that
// path, keeping its end, the words around it whole. A download line with no
// room left for its name is cut at its end; any other text still too long
// is cut after its last whole word that fits, with "..." (inside a word
// only when the first word alone is too wide).
[[nodiscard]] std::string fitStatusLine(const std::string& text, int width,
                                        const TextMeasure& measure);

// One text of the bottom line and the box it is drawn in.
struct PlacedText {
  std::string text;
  platform::Rect box;
};

// The bottom line's three texts: the credit centred, the version at the
// right, the renderer name at the left. None overlaps another nor leaves
// box; a gap of kBottomLineGap pixels separates neighbours. When space runs
// short the renderer name gives way first (shortened, down to nothing), then
// the credit moves left of centre and shortens, and last the version.
struct BottomLineLayout {
  PlacedText renderer;
  PlacedText credit;
  PlacedText version;
};
inline constexpr int kBottomLineGap = 8;

[[nodiscard]] BottomLineLayout layoutBottomLine(platform::Rect box, const std::string& renderer,
                                                const std::string& credit,
                                                const std::string& version,
                                                const TextMeasure& measure);

}  // namespace kv::ui
