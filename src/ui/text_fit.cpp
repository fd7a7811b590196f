#include "ui/text_fit.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace kv::ui {
namespace {

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u; }

// text with k of its characters kept (at its beginning, or at its end) and
// the ellipsis where the rest was. Spaces next to the ellipsis are dropped.
std::string shortened(const std::string& text, const std::vector<std::size_t>& starts,
                      std::size_t k, FitSide keep) {
  if (keep == FitSide::Beginning) {
    std::string head = text.substr(0, k < starts.size() ? starts[k] : text.size());
    while (!head.empty() && head.back() == ' ') head.pop_back();
    return head + kEllipsis;
  }
  std::string tail = text.substr(k == 0 ? text.size() : starts[starts.size() - k]);
  while (!tail.empty() && tail.front() == ' ') tail.erase(0, 1);
  return kEllipsis + tail;
}

}  // namespace

std::string fitText(const std::string& text, int width, const TextMeasure& measure, FitSide keep) {
  if (measure(text) <= width) return text;
  if (measure(kEllipsis) > width) return {};
  std::vector<std::size_t> starts;  // byte offset of each character
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!isContinuationByte(text[i])) starts.push_back(i);
  }
  // The most characters that fit, found by halving: the measure grows with
  // the number of characters kept. Keeping none always fits (checked above).
  std::size_t low = 0;
  std::size_t high = starts.size();  // the whole text does not fit
  while (high - low > 1) {
    const std::size_t middle = low + (high - low) / 2;
    if (measure(shortened(text, starts, middle, keep)) <= width) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return shortened(text, starts, low, keep);
}

namespace {

// text shortened at its end, between words where one fits: its longest
// beginning of whole words followed by "..."; a first word that alone is
// too wide is cut inside.
std::string fitWholeWords(const std::string& text, int width, const TextMeasure& measure) {
  if (measure(text) <= width) return text;
  for (std::size_t space = text.rfind(' '); space != std::string::npos && space > 0;
       space = text.rfind(' ', space - 1)) {
    std::string head = text.substr(0, space);
    while (!head.empty() && (head.back() == ' ' || head.back() == ',')) head.pop_back();
    if (head.empty()) break;
    if (measure(head + kEllipsis) <= width) return head + kEllipsis;
  }
  return fitText(text, width, measure);
}

// prefix + name + suffix with name shortened so that the whole fits width;
// nothing when not even a shortened name fits.
std::optional<std::string> fitNamePart(const std::string& prefix, const std::string& name,
                                       const std::string& suffix, int width, const TextMeasure& measure,
                                       FitSide keep = FitSide::Beginning) {
  const int room = width - measure(prefix + suffix);
  const std::string shortName = room > 0 ? fitText(name, room, measure, keep) : std::string();
  if (shortName.empty()) return std::nullopt;
  std::string line = prefix + shortName + suffix;
  if (measure(line) > width) return std::nullopt;
  return line;
}

}  // namespace

std::string fitStatusLine(const std::string& text, int width, const TextMeasure& measure) {
  if (measure(text) <= width) return text;
  const bool endsBracketed = !text.empty() && text.back() == ')';
  const std::size_t bracket = text.rfind(" (");
  const std::size_t colon = bracket == std::string::npos ? std::string::npos : text.rfind(": ", bracket);
  // "Downloading: NAME (25%, 4159 KB/s)": the name between the words and the
  // bracketed figures gives way.
  if (endsBracketed && bracket != std::string::npos && bracket > 0 && colon != std::string::npos) {
    if (auto line = fitNamePart(text.substr(0, colon + 2), text.substr(colon + 2, bracket - colon - 2),
                                text.substr(bracket), width, measure)) {
      return *line;
    }
    return fitText(text, width, measure);
  }
  // "Connection failed (PATH) after 3 attempts": the bracketed path inside
  // the sentence gives way, keeping its end (the file's name), the words
  // around it stay whole.
  const std::size_t open = text.find(" (");
  const std::size_t close =
      text.size() < 2 ? std::string::npos : text.find_last_of(')', text.size() - 2);
  if (open != std::string::npos && close != std::string::npos && close > open + 2) {
    if (auto line = fitNamePart(text.substr(0, open + 2), text.substr(open + 2, close - open - 2),
                                text.substr(close), width, measure, FitSide::End)) {
      return *line;
    }
  }
  // "NAME (25%, 4159 KB/s)": the name before the figures gives way.
  if (endsBracketed && bracket != std::string::npos && bracket > 0) {
    if (auto line = fitNamePart("", text.substr(0, bracket), text.substr(bracket), width, measure)) {
      return *line;
    }
  }
  return fitWholeWords(text, width, measure);
}

BottomLineLayout layoutBottomLine(platform::Rect box, const std::string& renderer,
                                  const std::string& credit, const std::string& version,
                                  const TextMeasure& measure) {
  BottomLineLayout out;
  const int left = box.x;
  const int right = box.x + box.width;
  const auto place = [&box](std::string text, int x0, int x1) {
    return PlacedText{std::move(text), {x0, box.y, std::max(0, x1 - x0), box.height}};
  };

  // The version keeps its place at the right; only a box too narrow for it
  // alone shortens it.
  const std::string versionText = fitText(version, box.width, measure);
  const int versionWidth = measure(versionText);
  out.version = place(versionText, right - versionWidth, right);
  const int versionLeft = versionText.empty() ? right : right - versionWidth - kBottomLineGap;

  // The credit is centred on the box when it fits between the left edge and
  // the version; otherwise it ends where the version begins.
  std::string creditText = fitText(credit, std::max(0, versionLeft - left), measure);
  const int creditWidth = measure(creditText);
  int creditLeft = left + (box.width - creditWidth) / 2;
  creditLeft = std::max(left, std::min(creditLeft, versionLeft - creditWidth));
  if (creditText.empty()) creditLeft = versionLeft;
  out.credit = place(creditText, creditLeft, creditLeft + creditWidth);

  // The renderer name takes what is left before the credit.
  const int rendererRight = creditText.empty() ? versionLeft : creditLeft - kBottomLineGap;
  const std::string rendererText = fitText(renderer, std::max(0, rendererRight - left), measure);
  out.renderer = place(rendererText, left, left + measure(rendererText));
  return out;
}

}  // namespace kv::ui
