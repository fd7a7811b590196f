// GDI+ pictures, fonts and drawing. Pictures and fonts are read into
// memory first and decoded from there: GDI+ keeps a file it loaded by name
// open (and so locked) as long as the picture or font lives, and the
// updater must be able to replace the server's art while it is shown. A
// font goes into a private font collection that lives as long as the font,
// since a GDI+ font must not outlive its collection.
//
// The canvas draws in logical pixels through the frame's scale transform.
// Fills and pictures are placed on whole device pixels (the transform set
// aside), so their edges stay sharp at fractional scales; text, lines and
// ellipses are drawn through the transform at the device's resolution.
#include <windows.h>

#include <shlwapi.h>

#include <gdiplus.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "platform/file_system.h"
#include "platform/pixel_scale.h"

#include "platform/win32/gdiplus_canvas.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_platform.h"

namespace kv::platform::win32 {
namespace {

// Pictures and fonts larger than this are not read.
constexpr std::uint64_t kMaxResourceBytes = 256u * 1024u * 1024u;

// Releases a COM stream.
struct StreamRelease {
  void operator()(IStream* stream) const { stream->Release(); }
};

class GdiplusImage : public Image {
 public:
  explicit GdiplusImage(const std::string& path) {
    const std::optional<std::string> bytes = readRegularFile(path, kMaxResourceBytes);
    if (!bytes || bytes->empty()) return;
    // GDI+ reads from the stream as long as the bitmap lives; the stream
    // holds its own copy of the bytes.
    stream_.reset(SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes->data()), static_cast<UINT>(bytes->size())));
    if (!stream_) return;
    bitmap_.reset(Gdiplus::Bitmap::FromStream(stream_.get()));
    if (bitmap_ && bitmap_->GetLastStatus() != Gdiplus::Ok) bitmap_.reset();
  }
  bool ok() const override { return bitmap_ != nullptr; }
  int width() const override { return ok() ? static_cast<int>(bitmap_->GetWidth()) : 0; }
  int height() const override { return ok() ? static_cast<int>(bitmap_->GetHeight()) : 0; }
  Gdiplus::Bitmap* bitmap() const { return bitmap_.get(); }

  // The source part of the picture smoothed to width x height device
  // pixels: made once (each part on its own, so neighbouring frames of a
  // strip never bleed into each other) and kept until the scale changes;
  // null when no copy can be made.
  Gdiplus::Bitmap* partAt(Rect source, int width, int height, double scale) const {
    if (!ok()) return nullptr;
    if (scale != scaledFor_ || parts_.size() >= kMaxParts) {
      parts_.clear();
      scaledFor_ = scale;
    }
    const auto key = std::make_tuple(source.x, source.y, source.width, source.height, width, height);
    if (auto found = parts_.find(key); found != parts_.end()) return found->second.get();
    if (source.x < 0 || source.y < 0 || source.width <= 0 || source.height <= 0 ||
        source.x + source.width > width_() || source.y + source.height > height_()) {
      return nullptr;
    }
    std::unique_ptr<Gdiplus::Bitmap> part(
        bitmap_->Clone(Gdiplus::Rect(source.x, source.y, source.width, source.height), PixelFormat32bppPARGB));
    if (!part || part->GetLastStatus() != Gdiplus::Ok) return nullptr;
    auto copy = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppPARGB);
    if (copy->GetLastStatus() != Gdiplus::Ok) return nullptr;
    {
      Gdiplus::Graphics smoothing(copy.get());
      smoothing.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
      smoothing.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
      smoothing.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
      // The edge pixels continue outwards, so the border does not fade.
      Gdiplus::ImageAttributes edges;
      edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
      if (smoothing.DrawImage(part.get(), Gdiplus::Rect(0, 0, width, height), 0, 0, source.width, source.height,
                              Gdiplus::UnitPixel, &edges) != Gdiplus::Ok) {
        return nullptr;
      }
    }
    Gdiplus::Bitmap* made = copy.get();
    parts_.emplace(key, std::move(copy));
    return made;
  }

 private:
  // Scaled parts kept at most; a caller that draws ever new sizes makes
  // the cache start afresh.
  static constexpr std::size_t kMaxParts = 64;

  int width_() const { return static_cast<int>(bitmap_->GetWidth()); }
  int height_() const { return static_cast<int>(bitmap_->GetHeight()); }

  std::unique_ptr<IStream, StreamRelease> stream_;  // declared first: outlives the bitmap
  std::unique_ptr<Gdiplus::Bitmap> bitmap_;
  mutable std::map<std::tuple<int, int, int, int, int, int>, std::unique_ptr<Gdiplus::Bitmap>> parts_;
  mutable double scaledFor_ = 1.0;
};

class GdiplusFont : public Font {
 public:
  GdiplusFont(const std::string& path, float points) : points_(points) {
    std::optional<std::string> bytes = readRegularFile(path, kMaxResourceBytes);
    if (!bytes || bytes->empty()) return;
    // The collection uses the memory as long as it lives.
    bytes_ = std::move(*bytes);
    if (collection_.AddMemoryFont(bytes_.data(), static_cast<INT>(bytes_.size())) != Gdiplus::Ok) return;
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
  std::string bytes_;  // declared before the collection: outlives it
  Gdiplus::PrivateFontCollection collection_;
  Gdiplus::FontFamily family_;
  std::unique_ptr<Gdiplus::Font> font_;
};

Gdiplus::Color colourOf(Argb argb) { return Gdiplus::Color(static_cast<Gdiplus::ARGB>(argb)); }

// Drawing in device pixels while it lives: the frame's scale transform is
// set aside and restored afterwards, with the modes changed meanwhile.
class DeviceSpace {
 public:
  explicit DeviceSpace(Gdiplus::Graphics& graphics) : graphics_(graphics), saved_(graphics.Save()) {
    graphics_.ResetTransform();
  }
  ~DeviceSpace() { graphics_.Restore(saved_); }
  DeviceSpace(const DeviceSpace&) = delete;
  DeviceSpace& operator=(const DeviceSpace&) = delete;

 private:
  Gdiplus::Graphics& graphics_;
  Gdiplus::GraphicsState saved_;
};

Gdiplus::RectF rectOf(Rect rect) {
  return Gdiplus::RectF(static_cast<Gdiplus::REAL>(rect.x), static_cast<Gdiplus::REAL>(rect.y),
                        static_cast<Gdiplus::REAL>(rect.width), static_cast<Gdiplus::REAL>(rect.height));
}

}  // namespace

void GdiplusCanvas::drawImage(const Image& image, Rect source, Rect destination) {
  const auto* picture = dynamic_cast<const GdiplusImage*>(&image);
  if (picture == nullptr || !picture->ok()) return;
  if (source.width <= 0 || source.height <= 0) return;
  const Rect device = toDevice(destination, scale_);
  if (device.width <= 0 || device.height <= 0) return;
  // A part drawn at its own size is copied pixel for pixel; any other size
  // comes from its smoothed copy. Without one (a source outside the
  // picture), GDI+ scales it in this frame.
  Gdiplus::Bitmap* bitmap = picture->bitmap();
  Rect from = source;
  if (device.width != source.width || device.height != source.height) {
    Gdiplus::Bitmap* part = picture->partAt(source, device.width, device.height, scale_);
    if (part == nullptr) {
      graphics_.DrawImage(bitmap, rectOf(destination), static_cast<Gdiplus::REAL>(source.x),
                          static_cast<Gdiplus::REAL>(source.y), static_cast<Gdiplus::REAL>(source.width),
                          static_cast<Gdiplus::REAL>(source.height), Gdiplus::UnitPixel);
      return;
    }
    bitmap = part;
    from = Rect{0, 0, device.width, device.height};
  }
  DeviceSpace space(graphics_);
  graphics_.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
  graphics_.DrawImage(bitmap, Gdiplus::Rect(device.x, device.y, device.width, device.height), from.x, from.y,
                      from.width, from.height, Gdiplus::UnitPixel);
}

void GdiplusCanvas::fillRect(Rect rect, Argb colour) {
  const Rect device = toDevice(rect, scale_);
  if (device.width <= 0 || device.height <= 0) return;
  Gdiplus::SolidBrush brush(colourOf(colour));
  DeviceSpace space(graphics_);
  graphics_.FillRectangle(&brush, device.x, device.y, device.width, device.height);
}

void GdiplusCanvas::strokeRect(Rect rect, Argb colour) {
  if (rect.width < 1 || rect.height < 1) return;
  // Four bars inside the rectangle, one logical pixel thick.
  const Rect d = toDevice(rect, scale_);
  const int t = std::max(1, toDevice(1, scale_));
  if (d.width < 1 || d.height < 1) return;
  Gdiplus::SolidBrush brush(colourOf(colour));
  DeviceSpace space(graphics_);
  if (d.width <= 2 * t || d.height <= 2 * t) {
    graphics_.FillRectangle(&brush, d.x, d.y, d.width, d.height);
    return;
  }
  graphics_.FillRectangle(&brush, d.x, d.y, d.width, t);
  graphics_.FillRectangle(&brush, d.x, d.y + d.height - t, d.width, t);
  graphics_.FillRectangle(&brush, d.x, d.y + t, t, d.height - 2 * t);
  graphics_.FillRectangle(&brush, d.x + d.width - t, d.y + t, t, d.height - 2 * t);
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
  // No format flags: GDI+ then wraps at word boundaries and clips to the
  // layout rectangle, so a long status line keeps its beginning in the box.
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

int GdiplusCanvas::textWidth(const std::string& utf8, const Font& font) {
  const auto* face = dynamic_cast<const GdiplusFont*>(&font);
  if (face == nullptr || !face->ok()) return 0;
  const std::wstring text = widen(utf8);
  if (text.empty()) return 0;
  // Measured with the format drawText uses, so a text measured to fit is
  // drawn on one line.
  Gdiplus::StringFormat format;
  Gdiplus::RectF bounds;
  if (graphics_.MeasureString(text.c_str(), static_cast<INT>(text.size()), face->font(),
                              Gdiplus::PointF(0.0f, 0.0f), &format, &bounds) != Gdiplus::Ok) {
    return 0;
  }
  return static_cast<int>(std::ceil(bounds.Width));
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
