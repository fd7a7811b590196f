#pragma once

#include <memory>
#include <string>

#include "platform/geometry.h"

namespace kv::platform {

// A decoded picture. An image that failed to load has ok() false and draws
// nothing.
class Image {
 public:
  virtual ~Image() = default;
  virtual bool ok() const = 0;
  virtual int width() const = 0;
  virtual int height() const = 0;
};

// A font of one family at one size.
class Font {
 public:
  virtual ~Font() = default;
  virtual bool ok() const = 0;
  virtual float pointSize() const = 0;
};

enum class HAlign { Left, Centre, Right };
enum class VAlign { Top, Centre };

// Off-screen drawing target for one frame. Every call is independent: a
// failed call never spoils later ones.
class Canvas {
 public:
  virtual ~Canvas() = default;
  // Draws the source rectangle of the image into the destination rectangle,
  // scaling when the sizes differ.
  virtual void drawImage(const Image& image, Rect source, Rect destination) = 0;
  virtual void fillRect(Rect rect, Argb colour) = 0;
  // A 1-pixel outline inside the rectangle.
  virtual void strokeRect(Rect rect, Argb colour) = 0;
  virtual void drawLine(int x1, int y1, int x2, int y2, float width, Argb colour) = 0;
  virtual void fillEllipse(Rect box, Argb colour) = 0;
  // Text laid out in a box: wrapped at spaces to the box's width (inside a
  // word only when the word alone is wider), each line aligned on its own,
  // the lines placed as a block, and everything outside the box cut off.
  virtual void drawText(const std::string& utf8, const Font& font, Argb colour, Rect box,
                        HAlign h, VAlign v) = 0;
  // The width in pixels that text takes on one line in font, never less
  // than what its glyphs cover; 0 for a font this canvas cannot use.
  virtual int textWidth(const std::string& utf8, const Font& font) = 0;
  // Text with its top-left corner at (x, y).
  virtual void drawTextAt(const std::string& utf8, const Font& font, Argb colour, int x,
                          int y) = 0;
};

// Loads pictures and fonts from files. Main thread only.
class Graphics {
 public:
  virtual ~Graphics() = default;
  // Never null; a missing or broken file gives an image with ok() false.
  virtual std::unique_ptr<Image> loadImage(const std::string& path) = 0;
  // Null when the font file cannot be read.
  virtual std::unique_ptr<Font> loadFont(const std::string& path, float points) = 0;
};

}  // namespace kv::platform
