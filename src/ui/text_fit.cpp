#include "ui/text_fit.h"

#include <algorithm>
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

std::string fitStatusLine(const std::string& text, int width, const TextMeasure& measure) {
  if (measure(text) <= width) return text;
  const std::size_t bracket = text.rfind(" (");
  if (text.empty() || text.back() != ')' || bracket == std::string::npos || bracket == 0) {
    return fitText(text, width, measure);
  }
  const std::string tail = text.substr(bracket);
  const std::string head = text.substr(0, bracket);
  const std::size_t colon = head.find(": ");
  const std::string prefix = colon == std::string::npos ? std::string() : head.substr(0, colon + 2);
  const std::string name = head.substr(prefix.size());
  const int room = width - measure(prefix + tail);
  const std::string shortName = room > 0 ? fitText(name, room, measure) : std::string();
  if (shortName.empty()) return fitText(text, width, measure);
  const std::string line = prefix + shortName + tail;
  return measure(line) <= width ? line : fitText(text, width, measure);
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
