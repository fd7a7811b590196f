// Pictures, fonts and the off-screen frame of the Linux backend: Cairo image
// surfaces and FreeType faces.
#include <cairo-ft.h>
#include <cairo.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/cairo_canvas.h"
#include "platform/linux/linux_platform.h"
#include "platform/pixel_scale.h"

namespace kv::platform::linux_backend {
namespace {

// Screen resolution the launcher's point sizes are laid out for.
constexpr double kDotsPerInch = 96.0;

// One FreeType library for the process. It is never closed: Cairo may keep
// font faces in its caches until the process ends.
FT_Library freetypeLibrary() {
  static FT_Library library = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    if (FT_Init_FreeType(&library) != 0) library = nullptr;
  });
  return library;
}

const cairo_user_data_key_t kFaceKey{};

class CairoImage : public Image {
 public:
  explicit CairoImage(cairo_surface_t* surface) : surface_(surface) {}
  ~CairoImage() override {
    if (surface_ != nullptr) cairo_surface_destroy(surface_);
    for (auto& [key, copy] : parts_) cairo_surface_destroy(copy);
  }
  CairoImage(const CairoImage&) = delete;
  CairoImage& operator=(const CairoImage&) = delete;
  bool ok() const override {
    return surface_ != nullptr && cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS;
  }
  int width() const override { return ok() ? cairo_image_surface_get_width(surface_) : 0; }
  int height() const override { return ok() ? cairo_image_surface_get_height(surface_) : 0; }
  cairo_surface_t* surface() const { return surface_; }

  // The part source of the picture at scale times its size, smoothed once
  // (each part on its own, so neighbouring frames of a strip never bleed
  // into each other) and kept until the scale changes; null when no copy
  // can be made.
  cairo_surface_t* partAt(Rect source, double scale) const {
    if (!ok()) return nullptr;
    if (scale != scaledFor_) {
      for (auto& [key, copy] : parts_) cairo_surface_destroy(copy);
      parts_.clear();
      scaledFor_ = scale;
    }
    const auto key = std::make_tuple(source.x, source.y, source.width, source.height);
    if (auto found = parts_.find(key); found != parts_.end()) return found->second;
    const int w = static_cast<int>(std::ceil(source.width * scale));
    const int h = static_cast<int>(std::ceil(source.height * scale));
    cairo_surface_t* part = cairo_surface_create_for_rectangle(surface_, source.x, source.y,
                                                               source.width, source.height);
    cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(copy);
    cairo_scale(cr, scale, scale);
    cairo_set_source_surface(cr, part, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_rectangle(cr, 0, 0, source.width, source.height);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(part);
    if (cairo_surface_status(copy) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(copy);
      return nullptr;
    }
    parts_.emplace(key, copy);
    return copy;
  }

 private:
  cairo_surface_t* surface_;
  mutable std::map<std::tuple<int, int, int, int>, cairo_surface_t*> parts_;
  mutable double scaledFor_ = 1.0;
};

class CairoFont : public Font {
 public:
  CairoFont(cairo_font_face_t* face, float points) : face_(face), points_(points) {}
  ~CairoFont() override { cairo_font_face_destroy(face_); }
  CairoFont(const CairoFont&) = delete;
  CairoFont& operator=(const CairoFont&) = delete;
  bool ok() const override { return cairo_font_face_status(face_) == CAIRO_STATUS_SUCCESS; }
  float pointSize() const override { return points_; }
  cairo_font_face_t* face() const { return face_; }
  double pixelSize() const { return static_cast<double>(points_) * kDotsPerInch / 72.0; }

 private:
  cairo_font_face_t* face_;
  float points_;
};

void setColour(cairo_t* cr, Argb c) {
  cairo_set_source_rgba(cr, ((c >> 16) & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0,
                        (c & 0xFF) / 255.0, ((c >> 24) & 0xFF) / 255.0);
}

// Replaces every byte sequence that is not valid UTF-8 by '?': Cairo refuses
// invalid text and would put the whole frame in error.
std::string validUtf8(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    std::size_t len = 0;
    unsigned int cp = 0;
    if (c < 0x80) {
      len = 1;
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07u;
    }
    bool valid = len > 0 && i + len <= n;
    for (std::size_t k = 1; valid && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (s[i + k] & 0x3Fu);
    }
    if (valid) {
      static constexpr unsigned int kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
      valid = cp >= kMin[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0;
    }
    if (valid) {
      out.append(in, i, len);
      i += len;
    } else {
      out.push_back('?');
      ++i;
    }
  }
  return out;
}

double textAdvance(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t te{};
  cairo_text_extents(cr, text.c_str(), &te);
  return te.x_advance;
}

// Length of the UTF-8 sequence that starts with this (valid) lead byte.
std::size_t utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

// Splits text into the lines drawn in a box `width` pixels wide: a line
// breaks at the last space that keeps it inside the box, and inside a word
// only when that word alone is wider than the box. The spaces at a break are
// dropped; "\n" always breaks. A piece of a broken word holds at least one
// character, however narrow the box.
std::vector<std::string> wrapLines(cairo_t* cr, const std::string& text, int width) {
  std::vector<std::string> lines;
  const auto pushLine = [&](std::string line) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(std::move(line));
  };
  const auto fits = [&](const std::string& s) { return textAdvance(cr, s) <= width; };
  // Puts a word that does not fit on a line of its own, a piece at a time;
  // the last piece stays open for the next words.
  const auto breakWord = [&](const std::string& word, std::string& line) {
    std::size_t start = 0;
    while (start < word.size()) {
      std::size_t end = start + utf8Length(static_cast<unsigned char>(word[start]));
      while (end < word.size()) {
        const std::size_t next = end + utf8Length(static_cast<unsigned char>(word[end]));
        if (!fits(word.substr(start, next - start))) break;
        end = next;
      }
      if (end >= word.size()) {
        line = word.substr(start);
        return;
      }
      pushLine(word.substr(start, end - start));
      start = end;
    }
  };
  std::size_t paragraphStart = 0;
  while (true) {
    const std::size_t paragraphEnd = std::min(text.find('\n', paragraphStart), text.size());
    std::string line;
    bool lineStarted = false;
    std::size_t wordStart = paragraphStart;
    while (wordStart <= paragraphEnd) {
      const std::size_t wordEnd = std::min(text.find(' ', wordStart), paragraphEnd);
      const std::string word = text.substr(wordStart, wordEnd - wordStart);
      const std::string candidate = lineStarted ? line + " " + word : word;
      if (fits(candidate)) {
        line = candidate;
      } else if (word.empty()) {
        // A space where the line is full: the break comes here.
      } else if (!line.empty() && fits(word)) {
        pushLine(line);
        line = word;
      } else {
        if (!line.empty()) pushLine(line);
        breakWord(word, line);
      }
      lineStarted = true;
      wordStart = wordEnd + 1;
    }
    pushLine(line);
    if (paragraphEnd >= text.size()) break;
    paragraphStart = paragraphEnd + 1;
  }
  return lines;
}

// The Canvas over one Cairo image surface. A call that puts the context in
// error never spoils later calls: the context is made anew before each call.
class CairoCanvas : public Canvas {
 public:
  // Draws in logical pixels onto a surface of scale device pixels each.
  CairoCanvas(cairo_surface_t* surface, double scale) : surface_(surface), scale_(scale) {}
  ~CairoCanvas() override {
    if (cr_ != nullptr) cairo_destroy(cr_);
  }
  CairoCanvas(const CairoCanvas&) = delete;
  CairoCanvas& operator=(const CairoCanvas&) = delete;

  // Starts a frame: opaque black everywhere.
  void begin() {
    cairo_t* cr = context();
    if (cr == nullptr) return;
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr, 0, 0, 0, 1);
    cairo_paint(cr);
    cairo_restore(cr);
  }

  void finish() {
    if (cr_ != nullptr) {
      cairo_destroy(cr_);
      cr_ = nullptr;
    }
    if (surface_ != nullptr) cairo_surface_flush(surface_);
  }

  void drawImage(const Image& image, Rect source, Rect destination) override {
    const auto* picture = dynamic_cast<const CairoImage*>(&image);
    if (picture == nullptr || !picture->ok()) return;
    if (source.width <= 0 || source.height <= 0 || destination.width <= 0 ||
        destination.height <= 0) {
      return;
    }
    cairo_t* cr = context();
    if (cr == nullptr) return;
    const bool scaled = source.width != destination.width || source.height != destination.height;
    cairo_save(cr);
    // Only the destination is painted, so neighbouring frames of a strip
    // never show.
    cairo_rectangle(cr, destination.x, destination.y, destination.width, destination.height);
    cairo_clip(cr);
    cairo_translate(cr, destination.x, destination.y);
    cairo_scale(cr, static_cast<double>(destination.width) / source.width,
                static_cast<double>(destination.height) / source.height);
    // On a high-density frame the part's copy made at the device's scale is
    // drawn, pixel for pixel when the part is not stretched.
    cairo_surface_t* part = scale_ != 1.0 ? picture->partAt(source, scale_) : nullptr;
    if (part != nullptr) {
      cairo_scale(cr, 1.0 / scale_, 1.0 / scale_);
      cairo_set_source_surface(cr, part, 0, 0);
    } else {
      cairo_set_source_surface(cr, picture->surface(), -source.x, -source.y);
    }
    cairo_pattern_t* pattern = cairo_get_source(cr);
    cairo_pattern_set_filter(pattern, scaled ? CAIRO_FILTER_GOOD : CAIRO_FILTER_NEAREST);
    cairo_pattern_set_extend(pattern, scaled ? CAIRO_EXTEND_PAD : CAIRO_EXTEND_NONE);
    cairo_paint(cr);
    cairo_restore(cr);
  }

  void fillRect(Rect rect, Argb colour) override {
    if (rect.width <= 0 || rect.height <= 0) return;
    cairo_t* cr = context();
    if (cr == nullptr) return;
    setColour(cr, colour);
    cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
    cairo_fill(cr);
  }

  void strokeRect(Rect rect, Argb colour) override {
    if (rect.width <= 0 || rect.height <= 0) return;
    cairo_t* cr = context();
    if (cr == nullptr) return;
    setColour(cr, colour);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, rect.x + 0.5, rect.y + 0.5, rect.width - 1.0, rect.height - 1.0);
    cairo_stroke(cr);
  }

  void drawLine(int x1, int y1, int x2, int y2, float width, Argb colour) override {
    cairo_t* cr = context();
    if (cr == nullptr) return;
    setColour(cr, colour);
    cairo_set_line_width(cr, width);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_move_to(cr, x1, y1);
    cairo_line_to(cr, x2, y2);
    cairo_stroke(cr);
  }

  void fillEllipse(Rect box, Argb colour) override {
    if (box.width <= 0 || box.height <= 0) return;
    cairo_t* cr = context();
    if (cr == nullptr) return;
    setColour(cr, colour);
    cairo_save(cr);
    cairo_translate(cr, box.x + box.width / 2.0, box.y + box.height / 2.0);
    cairo_scale(cr, box.width / 2.0, box.height / 2.0);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cr);
    cairo_fill(cr);
  }

  void drawText(const std::string& utf8, const Font& font, Argb colour, Rect box, HAlign h,
                VAlign v) override {
    if (box.width <= 0 || box.height <= 0) return;
    cairo_t* cr = prepareText(font, colour);
    if (cr == nullptr) return;
    const std::vector<std::string> lines = wrapLines(cr, validUtf8(utf8), box.width);
    cairo_font_extents_t fe{};
    cairo_font_extents(cr, &fe);
    const double block = static_cast<double>(lines.size() - 1) * fe.height + fe.ascent + fe.descent;
    double baseline = box.y + fe.ascent;
    if (v == VAlign::Centre) baseline = box.y + (box.height - block) / 2.0 + fe.ascent;
    // Lines that do not fit are cut at the box's edges, like the rest of a
    // long word or a last line that is only partly inside.
    cairo_save(cr);
    cairo_rectangle(cr, box.x, box.y, box.width, box.height);
    cairo_clip(cr);
    for (const std::string& line : lines) {
      if (baseline - fe.ascent >= box.y + box.height) break;
      const double advance = textAdvance(cr, line);
      double x = box.x;
      if (h == HAlign::Centre) x = box.x + (box.width - advance) / 2.0;
      if (h == HAlign::Right) x = box.x + box.width - advance;
      cairo_move_to(cr, std::round(x), std::round(baseline));
      cairo_show_text(cr, line.c_str());
      cairo_new_path(cr);
      baseline += fe.height;
    }
    cairo_restore(cr);
  }

  int textWidth(const std::string& utf8, const Font& font) override {
    cairo_t* cr = prepareText(font, 0xFF000000);
    if (cr == nullptr) return 0;
    cairo_text_extents_t te{};
    cairo_text_extents(cr, validUtf8(utf8).c_str(), &te);
    // The ink of the last glyph may reach past the advance.
    return static_cast<int>(std::ceil(std::max(te.x_advance, te.x_bearing + te.width)));
  }

  void drawTextAt(const std::string& utf8, const Font& font, Argb colour, int x, int y) override {
    cairo_t* cr = prepareText(font, colour);
    if (cr == nullptr) return;
    const std::string text = validUtf8(utf8);
    cairo_font_extents_t fe{};
    cairo_font_extents(cr, &fe);
    cairo_move_to(cr, x, std::round(y + fe.ascent));
    cairo_show_text(cr, text.c_str());
    cairo_new_path(cr);
  }

 private:
  // A drawing context in a clean state, or null when the surface is broken.
  cairo_t* context() {
    if (surface_ == nullptr || cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) return nullptr;
    if (cr_ != nullptr && cairo_status(cr_) != CAIRO_STATUS_SUCCESS) {
      cairo_destroy(cr_);
      cr_ = nullptr;
    }
    if (cr_ == nullptr) {
      cr_ = cairo_create(surface_);
      cairo_set_antialias(cr_, CAIRO_ANTIALIAS_DEFAULT);
      cairo_scale(cr_, scale_, scale_);
    }
    return cairo_status(cr_) == CAIRO_STATUS_SUCCESS ? cr_ : nullptr;
  }

  cairo_t* prepareText(const Font& font, Argb colour) {
    const auto* f = dynamic_cast<const CairoFont*>(&font);
    if (f == nullptr || !f->ok()) return nullptr;
    cairo_t* cr = context();
    if (cr == nullptr) return nullptr;
    cairo_set_font_face(cr, f->face());
    cairo_set_font_size(cr, f->pixelSize());
    setColour(cr, colour);
    return cr;
  }

  cairo_surface_t* surface_;
  double scale_;
  cairo_t* cr_ = nullptr;
};

}  // namespace

struct CairoGraphics::State {};

CairoGraphics::CairoGraphics() : state_(std::make_unique<State>()) {}
CairoGraphics::~CairoGraphics() = default;

std::unique_ptr<Image> CairoGraphics::loadImage(const std::string& path) {
  cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    surface = nullptr;
  }
  return std::make_unique<CairoImage>(surface);
}

std::unique_ptr<Font> CairoGraphics::loadFont(const std::string& path, float points) {
  FT_Library library = freetypeLibrary();
  if (library == nullptr) return nullptr;
  FT_Face face = nullptr;
  if (FT_New_Face(library, path.c_str(), 0, &face) != 0 || face == nullptr) return nullptr;
  cairo_font_face_t* cairoFace = cairo_ft_font_face_create_for_ft_face(face, 0);
  if (cairo_font_face_status(cairoFace) != CAIRO_STATUS_SUCCESS) {
    cairo_font_face_destroy(cairoFace);
    FT_Done_Face(face);
    return nullptr;
  }
  // The FreeType face lives as long as Cairo holds the font face.
  if (cairo_font_face_set_user_data(cairoFace, &kFaceKey, face,
                                    [](void* p) { FT_Done_Face(static_cast<FT_Face>(p)); }) !=
      CAIRO_STATUS_SUCCESS) {
    cairo_font_face_destroy(cairoFace);
    FT_Done_Face(face);
    return nullptr;
  }
  return std::make_unique<CairoFont>(cairoFace, points);
}

struct CairoFrame::State {
  int width = 0;
  int height = 0;
  cairo_surface_t* surface = nullptr;
  std::unique_ptr<CairoCanvas> canvas;
};

CairoFrame::CairoFrame(int width, int height, double scale) : state_(std::make_unique<State>()) {
  if (!(scale > 0)) scale = 1.0;
  state_->width = toDevice(width, scale);
  state_->height = toDevice(height, scale);
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, state_->width, state_->height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    surface = nullptr;
  }
  state_->surface = surface;
  state_->canvas = std::make_unique<CairoCanvas>(surface, scale);
}

CairoFrame::~CairoFrame() {
  state_->canvas.reset();
  if (state_->surface != nullptr) cairo_surface_destroy(state_->surface);
}

Canvas& CairoFrame::canvas() {
  state_->canvas->finish();
  state_->canvas->begin();
  return *state_->canvas;
}

const unsigned char* CairoFrame::pixels() {
  if (state_->surface == nullptr) return nullptr;
  state_->canvas->finish();
  return cairo_image_surface_get_data(state_->surface);
}

int CairoFrame::stride() const {
  return state_->surface != nullptr ? cairo_image_surface_get_stride(state_->surface) : 0;
}

int CairoFrame::width() const { return state_->width; }
int CairoFrame::height() const { return state_->height; }

}  // namespace kv::platform::linux_backend
