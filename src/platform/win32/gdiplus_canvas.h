#pragma once

#include "platform/canvas.h"

namespace Gdiplus {
class Graphics;
}

namespace kv::platform::win32 {

// A Canvas over a GDI+ drawing surface (the window's off-screen bitmap)
// whose transform scales logical pixels to scale device pixels each.
// Rectangles and pictures are placed on whole device pixels; pictures
// drawn at another size than their own come from a copy smoothed once at
// that size (until the scale changes). Main thread; lives for one frame.
class GdiplusCanvas : public Canvas {
 public:
  GdiplusCanvas(Gdiplus::Graphics& graphics, double scale) : graphics_(graphics), scale_(scale) {}
  void drawImage(const Image& image, Rect source, Rect destination) override;
  void fillRect(Rect rect, Argb colour) override;
  void strokeRect(Rect rect, Argb colour) override;
  void drawLine(int x1, int y1, int x2, int y2, float width, Argb colour) override;
  void fillEllipse(Rect box, Argb colour) override;
  void drawText(const std::string& utf8, const Font& font, Argb colour, Rect box, HAlign h,
                VAlign v) override;
  void drawTextAt(const std::string& utf8, const Font& font, Argb colour, int x, int y) override;
  int textWidth(const std::string& utf8, const Font& font) override;

 private:
  Gdiplus::Graphics& graphics_;
  double scale_;
};

}  // namespace kv::platform::win32
