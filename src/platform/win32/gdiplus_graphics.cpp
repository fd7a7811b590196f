// GDI+ pictures, fonts and drawing. Pictures load through GDI+'s own
// decoders; a font file is added to a private font collection that lives as
// long as the font, since a GDI+ font must not outlive its collection.
#include <windows.h>

#include <gdiplus.h>

#include <memory>

#include "platform/win32/gdiplus_canvas.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_platform.h"

namespace kv::platform::win32 {
namespace {

class GdiplusImage : public Image {
 public:
  explicit GdiplusImage(const std::string& path) : bitmap_(new Gdiplus::Bitmap(widen(path).c_str())) {
    if (bitmap_->GetLastStatus() != Gdiplus::Ok) bitmap_.reset();
  }
  bool ok() const override { return bitmap_ != nullptr; }
  int width() const override { return ok() ? static_cast<int>(bitmap_->GetWidth()) : 0; }
  int height() const override { return ok() ? static_cast<int>(bitmap_->GetHeight()) : 0; }
  Gdiplus::Bitmap* bitmap() const { return bitmap_.get(); }

 private:
  std::unique_ptr<Gdiplus::Bitmap> bitmap_;
};

class GdiplusFont : public Font {
 public:
  GdiplusFont(const std::string& path, float points) : points_(points) {
    if (collection_.AddFontFile(widen(path).c_str()) != Gdiplus::Ok) return;
    if (collection_.GetFamilyCount() < 1) return;
    int found = 0;
    if (collection_.GetFamilies(1, &family_, &found) != Gdiplus::Ok || found < 1) return;
    font_ = std::make_unique<Gdiplus::Font>(&family_, points, Gdiplus::FontStyleRegular, Gdiplus::UnitPoint);
    if (font_->GetLastStatus() != Gdiplus::Ok) font_.reset();
  }
  bool ok() const override { return font_ != nullptr; }
  float pointSize() const override { return points_; }
  const Gdiplus::Font* font() const { return font_.get(); }

 private:
  float points_;
  Gdiplus::PrivateFontCollection collection_;
  Gdiplus::FontFamily family_;
  std::unique_ptr<Gdiplus::Font> font_;
};

Gdiplus::Color colourOf(Argb argb) { return Gdiplus::Color(static_cast<Gdiplus::ARGB>(argb)); }

Gdiplus::RectF rectOf(Rect rect) {
  return Gdiplus::RectF(static_cast<Gdiplus::REAL>(rect.x), static_cast<Gdiplus::REAL>(rect.y),
                        static_cast<Gdiplus::REAL>(rect.width), static_cast<Gdiplus::REAL>(rect.height));
}

}  // namespace

void GdiplusCanvas::drawImage(const Image& image, Rect source, Rect destination) {
  const auto* picture = dynamic_cast<const GdiplusImage*>(&image);
  if (picture == nullptr || !picture->ok()) return;
  graphics_.DrawImage(picture->bitmap(),
                      Gdiplus::Rect(destination.x, destination.y, destination.width, destination.height),
                      source.x, source.y, source.width, source.height, Gdiplus::UnitPixel);
}

void GdiplusCanvas::fillRect(Rect rect, Argb colour) {
  Gdiplus::SolidBrush brush(colourOf(colour));
  graphics_.FillRectangle(&brush, rect.x, rect.y, rect.width, rect.height);
}

void GdiplusCanvas::strokeRect(Rect rect, Argb colour) {
  if (rect.width < 1 || rect.height < 1) return;
  Gdiplus::Pen pen(colourOf(colour), 1.0f);
  graphics_.DrawRectangle(&pen, rect.x, rect.y, rect.width - 1, rect.height - 1);
}

void GdiplusCanvas::drawLine(int x1, int y1, int x2, int y2, float width, Argb colour) {
  Gdiplus::Pen pen(colourOf(colour), width);
  graphics_.DrawLine(&pen, x1, y1, x2, y2);
}

void GdiplusCanvas::fillEllipse(Rect box, Argb colour) {
  Gdiplus::SolidBrush brush(colourOf(colour));
  graphics_.FillEllipse(&brush, box.x, box.y, box.width, box.height);
}

void GdiplusCanvas::drawText(const std::string& utf8, const Font& font, Argb colour, Rect box, HAlign h,
                             VAlign v) {
  const auto* face = dynamic_cast<const GdiplusFont*>(&font);
  if (face == nullptr || !face->ok()) return;
  Gdiplus::StringFormat format;
  format.SetAlignment(h == HAlign::Left     ? Gdiplus::StringAlignmentNear
                      : h == HAlign::Centre ? Gdiplus::StringAlignmentCenter
                                            : Gdiplus::StringAlignmentFar);
  format.SetLineAlignment(v == VAlign::Top ? Gdiplus::StringAlignmentNear : Gdiplus::StringAlignmentCenter);
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  Gdiplus::SolidBrush brush(colourOf(colour));
  const std::wstring text = widen(utf8);
  const Gdiplus::RectF layout = rectOf(box);
  graphics_.DrawString(text.c_str(), static_cast<INT>(text.size()), face->font(), layout, &format, &brush);
}

void GdiplusCanvas::drawTextAt(const std::string& utf8, const Font& font, Argb colour, int x, int y) {
  const auto* face = dynamic_cast<const GdiplusFont*>(&font);
  if (face == nullptr || !face->ok()) return;
  Gdiplus::SolidBrush brush(colourOf(colour));
  const std::wstring text = widen(utf8);
  graphics_.DrawString(text.c_str(), static_cast<INT>(text.size()), face->font(),
                       Gdiplus::PointF(static_cast<Gdiplus::REAL>(x), static_cast<Gdiplus::REAL>(y)), &brush);
}

GdiplusGraphics::GdiplusGraphics() {
  // Version 1, no debug callback, GDI+'s own background thread, external
  // codecs allowed. A failed start leaves every picture and font not ok.
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) token_ = token;
}

GdiplusGraphics::~GdiplusGraphics() {
  if (token_ != 0) Gdiplus::GdiplusShutdown(token_);
}

std::unique_ptr<Image> GdiplusGraphics::loadImage(const std::string& path) {
  return std::make_unique<GdiplusImage>(path);
}

std::unique_ptr<Font> GdiplusGraphics::loadFont(const std::string& path, float points) {
  auto font = std::make_unique<GdiplusFont>(path, points);
  if (!font->ok()) return nullptr;
  return font;
}

}  // namespace kv::platform::win32
