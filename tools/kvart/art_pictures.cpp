// The demo pictures, drawn with Cairo.
#include <cairo.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "demo_art.h"
#include "base/launcher_files.h"

namespace kv::art {
namespace {

enum Symbol { kNone, kCross, kBar, kGear, kSpeaker, kSpeakerOff, kPen, kGlobe };

void setRgb(cairo_t* cr, std::uint32_t c, double scale = 1.0) {
  cairo_set_source_rgb(cr, std::min(1.0, ((c >> 16) & 0xFF) / 255.0 * scale),
                       std::min(1.0, ((c >> 8) & 0xFF) / 255.0 * scale),
                       std::min(1.0, (c & 0xFF) / 255.0 * scale));
}

void drawSymbol(cairo_t* cr, int symbol, double cx, double cy, double r) {
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, std::max(1.5, r / 4));
  switch (symbol) {
    case kCross:
      cairo_move_to(cr, cx - r, cy - r);
      cairo_line_to(cr, cx + r, cy + r);
      cairo_move_to(cr, cx + r, cy - r);
      cairo_line_to(cr, cx - r, cy + r);
      cairo_stroke(cr);
      break;
    case kBar:
      cairo_move_to(cr, cx - r, cy + r / 2);
      cairo_line_to(cr, cx + r, cy + r / 2);
      cairo_stroke(cr);
      break;
    case kGear:
      cairo_arc(cr, cx, cy, r * 0.7, 0, 2 * M_PI);
      cairo_stroke(cr);
      for (int i = 0; i < 6; ++i) {
        const double a = i * M_PI / 3;
        cairo_move_to(cr, cx + std::cos(a) * r * 0.7, cy + std::sin(a) * r * 0.7);
        cairo_line_to(cr, cx + std::cos(a) * r, cy + std::sin(a) * r);
      }
      cairo_stroke(cr);
      break;
    case kSpeaker:
    case kSpeakerOff:
      cairo_move_to(cr, cx - r, cy - r / 3);
      cairo_line_to(cr, cx - r / 3, cy - r / 3);
      cairo_line_to(cr, cx + r / 3, cy - r);
      cairo_line_to(cr, cx + r / 3, cy + r);
      cairo_line_to(cr, cx - r / 3, cy + r / 3);
      cairo_line_to(cr, cx - r, cy + r / 3);
      cairo_close_path(cr);
      cairo_fill(cr);
      if (symbol == kSpeakerOff) {
        cairo_move_to(cr, cx + r / 2, cy - r / 2);
        cairo_line_to(cr, cx + r, cy + r / 2);
        cairo_move_to(cr, cx + r, cy - r / 2);
        cairo_line_to(cr, cx + r / 2, cy + r / 2);
      } else {
        cairo_arc(cr, cx + r / 3, cy, r * 0.6, -M_PI / 4, M_PI / 4);
      }
      cairo_stroke(cr);
      break;
    case kPen:
      cairo_move_to(cr, cx - r, cy + r);
      cairo_line_to(cr, cx + r, cy - r);
      cairo_stroke(cr);
      break;
    case kGlobe:
      cairo_arc(cr, cx, cy, r, 0, 2 * M_PI);
      cairo_move_to(cr, cx - r, cy);
      cairo_line_to(cr, cx + r, cy);
      cairo_stroke(cr);
      break;
    default:
      break;
  }
}

bool makeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      const std::string part = path.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

bool writeSurface(cairo_surface_t* s, const std::string& path, std::string& error) {
  const cairo_status_t status = cairo_surface_write_to_png(s, path.c_str());
  if (status != CAIRO_STATUS_SUCCESS) {
    error = "cannot write " + path + ": " + cairo_status_to_string(status);
    return false;
  }
  return true;
}

bool writeStrip(const std::string& folder, const PictureSpec& picture, std::string& error) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, picture.frameWidth * 4, picture.height);
  cairo_t* cr = cairo_create(s);
  for (int k = 0; k < 4; ++k) {
    const double x = picture.frameWidth * k;
    setRgb(cr, picture.colours[k], 0.6);
    cairo_rectangle(cr, x, 0, picture.frameWidth, picture.height);
    cairo_fill(cr);
    setRgb(cr, picture.colours[k]);
    cairo_rectangle(cr, x + 1, 1, picture.frameWidth - 2, picture.height - 2);
    cairo_fill(cr);
    const double r = std::min(picture.frameWidth, picture.height) * 0.28;
    drawSymbol(cr, picture.symbol, x + picture.frameWidth / 2.0, picture.height / 2.0, r);
  }
  cairo_destroy(cr);
  const bool ok = writeSurface(s, folder + picture.path, error);
  cairo_surface_destroy(s);
  return ok;
}

bool writeBackground(const std::string& folder, ArtLabel label, std::string& error) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 518, 324);
  cairo_t* cr = cairo_create(s);
  const std::uint32_t tint = backgroundColour(label);
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, 0, 324);
  auto stop = [&](double at, double scale) {
    cairo_pattern_add_color_stop_rgb(gradient, at, ((tint >> 16) & 0xFF) / 255.0 * scale,
                                     ((tint >> 8) & 0xFF) / 255.0 * scale,
                                     (tint & 0xFF) / 255.0 * scale);
  };
  stop(0.0, 1.0);
  stop(1.0, 0.7);
  cairo_set_source(cr, gradient);
  cairo_paint(cr);
  cairo_pattern_destroy(gradient);
  // A few soft circles, away from the progress bar and status line.
  for (int i = 0; i < 5; ++i) {
    cairo_set_source_rgba(cr, 1, 1, 1, 0.06);
    cairo_arc(cr, 90 + i * 85, 140 + (i % 2) * 20, 30 + i * 6, 0, 2 * M_PI);
    cairo_fill(cr);
  }
  setRgb(cr, kStatusBandColour);
  cairo_rectangle(cr, kStatusBand[0], kStatusBand[1], kStatusBand[2], kStatusBand[3]);
  cairo_fill(cr);
  setRgb(cr, kBottomBandColour);
  cairo_rectangle(cr, 0, kBottomBandTop, 518, 324 - kBottomBandTop);
  cairo_fill(cr);
  cairo_destroy(cr);
  const bool ok = writeSurface(s, folder + kBackgroundPath, error);
  cairo_surface_destroy(s);
  return ok;
}

}  // namespace

std::uint32_t backgroundColour(ArtLabel label) {
  return label == ArtLabel::EU ? 0x1E3C78 : 0x1E6440;
}

std::vector<PictureSpec> pictureSpecs() {
  return {
      {kCloseImagePath, 32, 32, kCross, kStateColours},
      {kMinimizeImagePath, 32, 32, kBar, kStateColours},
      {kOptionsImagePath, 32, 32, kGear, kStateColours},
      {kOptionsOnImagePath, 32, 32, kGear, kOptionsOnColours},
      {kSoundImagePath, 32, 32, kSpeaker, kStateColours},
      {kSoundOffImagePath, 32, 32, kSpeakerOff, kSoundOffColours},
      {kBigButtonImagePath, 188, 71, kNone, kStateColours},
      {kButtonImagePath, 115, 29, kNone, kButtonColours},
      {kSignUpIconPath, 24, 24, kPen, kStateColours},
      {kWebsiteIconPath, 24, 24, kGlobe, kStateColours},
  };
}

bool writePictures(const std::string& serverFolder, ArtLabel label, std::string& error) {
  if (!makeFolders(serverFolder + "/data/images")) {
    error = "cannot create " + serverFolder + "/data/images";
    return false;
  }
  for (const PictureSpec& picture : pictureSpecs()) {
    if (!writeStrip(serverFolder, picture, error)) return false;
  }
  return writeBackground(serverFolder, label, error);
}

}  // namespace kv::art
